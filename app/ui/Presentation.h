#pragma once

#include "app/core/ConnectionState.h"
#include "shared/health/HealthStatus.h"

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// How the screens draw each state: the colours, captions and labels as data,
// so that they are decided (and tested) in one place and QML only paints them.
namespace Presentation {
Q_NAMESPACE

// A colour named by its role; the window's palette turns it into a colour.
enum class Tone {
    primary,
    secondary,
    // The secondary colour at 40 % opacity: an inactive power button.
    dimmed,
    accent,
    gray,
    yellow,
    orange,
    green,
    red,
};
Q_ENUM_NS(Tone)

struct Pill {
    Tone dot;
    QString label;
};
Pill statusPill(const ConnectionState& state);

// The round button's look, read by QML as one value.
struct PowerButton {
    Q_GADGET
    Q_PROPERTY(Presentation::Tone circle MEMBER circle)
    Q_PROPERTY(int shadowRadius MEMBER shadowRadius)
    Q_PROPERTY(QString caption MEMBER caption)
    Q_PROPERTY(Presentation::Tone captionTone MEMBER captionTone)
    Q_PROPERTY(bool enabled MEMBER enabled)
public:
    Tone circle = Tone::dimmed;
    // Zero draws no shadow.
    int shadowRadius = 0;
    QString caption;
    Tone captionTone = Tone::primary;
    bool enabled = false;

    friend bool operator==(const PowerButton&, const PowerButton&) = default;
};
PowerButton powerButton(const ConnectionState& state);

// One service's dot under "Services".
struct Dot {
    QString name;
    Tone tone;
    QString tooltip;
    // A probe is running: the ring around the dot pulses.
    bool pulsing;

    friend bool operator==(const Dot&, const Dot&) = default;
};
Dot rulesetDot(const QString& name, const std::optional<RulesetHealth>& health);

// What the subscription card says about the time left until `expiresAt`.
struct Remaining {
    QString text;
    Tone tone;
};
Remaining remainingTime(const QDateTime& expiresAt, const QDateTime& now);

// A date and time as the user's locale writes it: the date in full
// ("March 1, 2026") or abbreviated ("Mar 1, 2026"), both without the weekday,
// then the time without seconds.
QString longDateTime(const QDateTime& date, const QLocale& locale);
QString abbreviatedDateTime(const QDateTime& date, const QLocale& locale);
// How long ago `date` was, in words: "5 minutes ago", "yesterday", "in 2 hours".
QString relativeTime(const QDateTime& date, const QDateTime& now);

// The code as it is sent: without leading and trailing spaces and tabs (line
// breaks stay).
QString trimmedCode(const QString& code);
// A message as the window lays it out: what stands between “ and ” (a
// command to run, a name) is never broken across lines, its spaces made
// no-break spaces and a word joiner put after each hyphen and slash.
QString unbrokenQuotes(const QString& message);

// Whether the Activate button may be pressed.
bool canActivate(const ConnectionState& state, const QString& code);

// "<short version> (<build>)", from the build's version keys "shortVersion"
// and "build"; "0.0" and "?" stand in for a key that is missing or not text,
// and for both when there is no version information at all.
QString appVersionString(const std::optional<QVariantMap>& info);
// The same for this build.
QString appVersionString();

// The help page for the user's preferred languages, first one deciding.
QString helpPageURL(const QStringList& preferredLanguages);
// The same for this process's user; decided once, at first use.
const QString& helpPageURL();
// The help page's host and path as the status screen's link names it.
QString helpLinkLabel();

// `text` with every control character and line or paragraph separator
// written as an escape, so that a value from the network stays on its line.
QString singleLine(const QString& text);

} // namespace Presentation
