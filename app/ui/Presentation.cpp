#include "app/ui/Presentation.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;
using Kind = ConnectionState::Kind;

namespace Presentation {

namespace {
// The screens' words, for a translation to replace; English is the source.
QString tr(const char* text) {
    return QCoreApplication::translate("Presentation", text);
}
} // namespace

Pill statusPill(const ConnectionState& state) {
    switch (state.kind()) {
    case Kind::notActivated:
        return {Tone::gray, tr("not activated")};
    case Kind::needsExtensionApproval:
        return {Tone::gray, tr("approval needed")};
    case Kind::activating:
        return {Tone::yellow, tr("activating")};
    case Kind::idle:
        return {Tone::gray, tr("disconnected")};
    case Kind::connecting:
        return {Tone::yellow, tr("connecting")};
    case Kind::connected:
        return {Tone::green, tr("connected")};
    case Kind::disconnecting:
        return {Tone::yellow, tr("disconnecting")};
    case Kind::error:
        return {Tone::red, tr("error")};
    }
    return {Tone::gray, {}};
}

PowerButton powerButton(const ConnectionState& state) {
    switch (state.kind()) {
    case Kind::notActivated:
        return {Tone::dimmed, 0, tr("Not activated"), Tone::primary, false};
    case Kind::needsExtensionApproval:
        return {Tone::dimmed, 0, tr("Approve in Settings"), Tone::primary, true};
    case Kind::activating:
        return {Tone::yellow, 0, tr("Activating…"), Tone::primary, false};
    case Kind::idle:
        return {Tone::dimmed, 0, tr("Tap to connect"), Tone::primary, true};
    case Kind::connecting:
        return {Tone::yellow, 18, tr("Connecting…"), Tone::primary, false};
    case Kind::connected:
        return {Tone::accent, 18, tr("Connected"), Tone::accent, true};
    case Kind::disconnecting:
        return {Tone::yellow, 18, tr("Disconnecting…"), Tone::primary, false};
    case Kind::error:
        return {Tone::red, 0, tr("Tap to retry"), Tone::red, true};
    }
    return {Tone::dimmed, 0, {}, Tone::primary, false};
}

Dot rulesetDot(const QString& name, const std::optional<RulesetHealth>& health) {
    Tone tone = Tone::gray;
    QString word = tr("unknown");
    const HealthStatus status = health ? health->status : HealthStatus::unknown;
    switch (status) {
    case HealthStatus::unknown:
        break;
    case HealthStatus::probing:
        tone = Tone::yellow;
        word = tr("probing");
        break;
    case HealthStatus::healthy:
        tone = Tone::green;
        word = tr("healthy");
        break;
    case HealthStatus::degraded:
        tone = Tone::yellow;
        word = tr("degraded");
        break;
    case HealthStatus::down:
        tone = Tone::red;
        word = tr("down");
        break;
    }
    QString tooltip = name + u": "_s + word;
    if (health && health->latencyMs)
        tooltip += u", "_s + QString::number(*health->latencyMs) + u"ms"_s;
    return {name, tone, tooltip, status == HealthStatus::probing};
}

Remaining remainingTime(const QDateTime& expiresAt, const QDateTime& now) {
    // Milliseconds: half a second left is not expired yet.
    constexpr qint64 hourMs = 3'600'000;
    constexpr qint64 dayMs = 24 * hourMs;
    const qint64 left = now.msecsTo(expiresAt);
    if (left <= 0)
        return {tr("Expired"), Tone::red};
    const Tone tone = left < 3 * dayMs ? Tone::orange : Tone::secondary;
    if (const qint64 days = left / dayMs; days > 0)
        return {days == 1 ? tr("1 day left") : tr("%1 days left").arg(days), tone};
    return {tr("%1h left").arg(std::max<qint64>(1, left / hourMs)), tone};
}

namespace {

QString dateTime(const QDateTime& date, const QLocale& locale, bool abbreviated) {
    QString format = locale.dateFormat(QLocale::LongFormat);
    // Drop the weekday and the separator after it ("dddd, " or "dddd ").
    static const QRegularExpression weekday(u"d{4}[,.]?\\s*"_s);
    format.remove(weekday);
    if (abbreviated)
        format.replace(u"MMMM"_s, u"MMM"_s);
    const QDateTime local = date.toLocalTime();
    // Hours and minutes only, whatever the locale's short form carries.
    static const QRegularExpression seconds(u"[:.]ss?"_s);
    QString time = locale.timeFormat(QLocale::ShortFormat);
    time.remove(seconds);
    return locale.toString(local.date(), format.trimmed()) + u", "_s +
           locale.toString(local.time(), time);
}

} // namespace

QString longDateTime(const QDateTime& date, const QLocale& locale) {
    return dateTime(date, locale, false);
}

QString abbreviatedDateTime(const QDateTime& date, const QLocale& locale) {
    return dateTime(date, locale, true);
}

QString relativeTime(const QDateTime& date, const QDateTime& now) {
    const qint64 seconds = date.secsTo(now);
    const qint64 span = std::abs(seconds);
    if (span < 1)
        return tr("now");
    if (span >= 86400 && span < 2 * 86400)
        return seconds > 0 ? tr("yesterday") : tr("tomorrow");
#define UNIT(one, many)                                                                            \
    QT_TRANSLATE_NOOP("Presentation", one), QT_TRANSLATE_NOOP("Presentation", many)
    static const struct {
        qint64 below;
        qint64 size;
        const char* one;
        const char* many;
    } units[] = {
        {60, 1, UNIT("1 second", "%1 seconds")},
        {3600, 60, UNIT("1 minute", "%1 minutes")},
        {86400, 3600, UNIT("1 hour", "%1 hours")},
        {7 * 86400, 86400, UNIT("1 day", "%1 days")},
        {30 * 86400, 7 * 86400, UNIT("1 week", "%1 weeks")},
        {365 * 86400, 30 * 86400, UNIT("1 month", "%1 months")},
        {std::numeric_limits<qint64>::max(), 365 * 86400, UNIT("1 year", "%1 years")},
    };
#undef UNIT
    const auto unit = std::find_if(std::begin(units), std::end(units),
                                   [span](const auto& u) { return span < u.below; });
    const qint64 count = span / unit->size;
    const QString amount = count == 1 ? tr(unit->one) : tr(unit->many).arg(count);
    return (seconds > 0 ? tr("%1 ago") : tr("in %1")).arg(amount);
}

QString trimmedCode(const QString& code) {
    const auto horizontal = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype begin = 0;
    qsizetype end = code.size();
    while (begin < end && horizontal(code[begin]))
        ++begin;
    while (end > begin && horizontal(code[end - 1]))
        --end;
    return code.mid(begin, end - begin);
}

QString unbrokenQuotes(const QString& message) {
    constexpr QChar open = QChar(0x201C), close = QChar(0x201D);
    constexpr QChar noBreakSpace = QChar(0x00A0), wordJoiner = QChar(0x2060);
    QString laidOut;
    laidOut.reserve(message.size() + 8);
    qsizetype from = 0;
    while (from < message.size()) {
        const qsizetype begin = message.indexOf(open, from);
        const qsizetype end = begin < 0 ? -1 : message.indexOf(close, begin + 1);
        if (end < 0)
            break;
        laidOut += QStringView(message).mid(from, begin - from);
        for (const QChar c : QStringView(message).mid(begin, end - begin)) {
            laidOut += c == u' ' ? noBreakSpace : c;
            if (c == u'-' || c == u'/')
                laidOut += wordJoiner;
        }
        from = end;
    }
    laidOut += QStringView(message).mid(from);
    return laidOut;
}

bool canActivate(const ConnectionState& state, const QString& code) {
    return state.kind() != Kind::activating && trimmedCode(code).size() >= 4;
}

QString appVersionString(const std::optional<QVariantMap>& info) {
    const auto text = [&](const QString& key, const QString& fallback) {
        if (!info)
            return fallback;
        const QVariant value = info->value(key);
        return value.typeId() == QMetaType::QString ? value.toString() : fallback;
    };
    return text(u"shortVersion"_s, u"0.0"_s) + u" ("_s + text(u"build"_s, u"?"_s) + u')';
}

QString appVersionString() {
    return appVersionString(QVariantMap{{u"shortVersion"_s, QStringLiteral(HALVORAN_VERSION)},
                                        {u"build"_s, QStringLiteral(HALVORAN_BUILD)}});
}

namespace {
constexpr auto helpOrigin = "https://morvel.dev"_L1;
} // namespace

QString helpPageURL(const QStringList& preferredLanguages) {
    const bool russian =
        !preferredLanguages.isEmpty() && preferredLanguages.first().toLower().startsWith(u"ru"_s);
    return helpOrigin + (russian ? u"/halvoran/ru/"_s : u"/halvoran/"_s);
}

const QString& helpPageURL() {
    static const QString url = helpPageURL(QLocale::system().uiLanguages());
    return url;
}

QString helpLinkLabel() {
    return QUrl(helpOrigin).host() + u"/halvoran"_s;
}

QString singleLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const auto category = c.category();
        if (category != QChar::Other_Control && category != QChar::Separator_Line &&
            category != QChar::Separator_Paragraph) {
            out += c;
            continue;
        }
        switch (c.unicode()) {
        case u'\n':
            out += u"\\n"_s;
            break;
        case u'\r':
            out += u"\\r"_s;
            break;
        case u'\t':
            out += u"\\t"_s;
            break;
        default:
            out += u"\\u{"_s + QString::number(c.unicode(), 16) + u'}';
        }
    }
    return out;
}

} // namespace Presentation
