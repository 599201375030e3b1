#include "app/ui/Presentation.h"

#include <QLocale>
#include <QRegularExpression>
#include <QUrl>

using namespace Qt::StringLiterals;
using Kind = ConnectionState::Kind;

namespace Presentation {

Pill statusPill(const ConnectionState& state) {
    switch (state.kind()) {
    case Kind::notActivated:
        return {Tone::gray, u"not activated"_s};
    case Kind::needsExtensionApproval:
        return {Tone::gray, u"approval needed"_s};
    case Kind::activating:
        return {Tone::yellow, u"activating"_s};
    case Kind::idle:
        return {Tone::gray, u"disconnected"_s};
    case Kind::connecting:
        return {Tone::yellow, u"connecting"_s};
    case Kind::connected:
        return {Tone::green, u"connected"_s};
    case Kind::disconnecting:
        return {Tone::yellow, u"disconnecting"_s};
    case Kind::error:
        return {Tone::red, u"error"_s};
    }
    return {Tone::gray, {}};
}

PowerButton powerButton(const ConnectionState& state) {
    switch (state.kind()) {
    case Kind::notActivated:
        return {Tone::dimmed, 0, u"Not activated"_s, Tone::primary, false};
    case Kind::needsExtensionApproval:
        return {Tone::dimmed, 0, u"Approve in Settings"_s, Tone::primary, true};
    case Kind::activating:
        return {Tone::yellow, 0, u"Activating…"_s, Tone::primary, false};
    case Kind::idle:
        return {Tone::dimmed, 0, u"Tap to connect"_s, Tone::primary, true};
    case Kind::connecting:
        return {Tone::yellow, 18, u"Connecting…"_s, Tone::primary, false};
    case Kind::connected:
        return {Tone::accent, 18, u"Connected"_s, Tone::accent, true};
    case Kind::disconnecting:
        return {Tone::yellow, 18, u"Disconnecting…"_s, Tone::primary, false};
    case Kind::error:
        return {Tone::red, 0, u"Tap to retry"_s, Tone::red, true};
    }
    return {Tone::dimmed, 0, {}, Tone::primary, false};
}

Dot rulesetDot(const QString& name, const std::optional<RulesetHealth>& health) {
    Tone tone = Tone::gray;
    QString word = u"unknown"_s;
    const HealthStatus status = health ? health->status : HealthStatus::unknown;
    switch (status) {
    case HealthStatus::unknown:
        break;
    case HealthStatus::probing:
        tone = Tone::yellow;
        word = u"probing"_s;
        break;
    case HealthStatus::healthy:
        tone = Tone::green;
        word = u"healthy"_s;
        break;
    case HealthStatus::degraded:
        tone = Tone::yellow;
        word = u"degraded"_s;
        break;
    case HealthStatus::down:
        tone = Tone::red;
        word = u"down"_s;
        break;
    }
    QString tooltip = name + u": "_s + word;
    if (health && health->latencyMs)
        tooltip += u", "_s + QString::number(*health->latencyMs) + u"ms"_s;
    return {tone, tooltip, status == HealthStatus::probing};
}

Remaining remainingTime(const QDateTime& expiresAt, const QDateTime& now) {
    const qint64 seconds = now.secsTo(expiresAt);
    if (seconds <= 0)
        return {u"Expired"_s, Tone::red};
    const Tone tone = seconds < 3 * 86400 ? Tone::orange : Tone::secondary;
    if (const qint64 days = seconds / 86400; days > 0)
        return {QString::number(days) + (days == 1 ? u" day left"_s : u" days left"_s), tone};
    return {QString::number(std::max<qint64>(1, seconds / 3600)) + u"h left"_s, tone};
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
        return u"now"_s;
    const auto phrase = [seconds](qint64 count, const char* unit) -> QString {
        QString amount = QString::number(count) + u' ' + QLatin1StringView(unit) +
                         (count == 1 ? QString() : u"s"_s);
        return seconds > 0 ? amount + u" ago"_s : u"in "_s + amount;
    };
    if (span < 60)
        return phrase(span, "second");
    if (span < 3600)
        return phrase(span / 60, "minute");
    if (span < 86400)
        return phrase(span / 3600, "hour");
    if (span < 2 * 86400)
        return seconds > 0 ? u"yesterday"_s : u"tomorrow"_s;
    if (span < 7 * 86400)
        return phrase(span / 86400, "day");
    if (span < 30 * 86400)
        return phrase(span / (7 * 86400), "week");
    if (span < 365 * 86400)
        return phrase(span / (30 * 86400), "month");
    return phrase(span / (365 * 86400), "year");
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
