#include "shared/coding/DateCoding.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int64_t msPerDay = 86'400'000;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
constexpr int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    int64_t year;
    int month;
    int day;
};

Civil civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

int daysInMonth(int64_t year, int month) {
    static constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[size_t(month - 1)];
}

// A left-to-right reader over the text that fails on the first surprise.
class Cursor {
public:
    explicit Cursor(QStringView text)
        : m_text(text) {}

    bool digits(int count, int* value) {
        int result = 0;
        for (int i = 0; i < count; ++i) {
            if (m_pos >= m_text.size() || !isDigit(m_text[m_pos]))
                return false;
            result = result * 10 + (m_text[m_pos++].unicode() - u'0');
        }
        *value = result;
        return true;
    }
    bool literal(char16_t c) {
        if (m_pos >= m_text.size() || m_text[m_pos] != c)
            return false;
        ++m_pos;
        return true;
    }
    std::optional<char16_t> peek() const {
        return m_pos < m_text.size() ? std::optional(m_text[m_pos].unicode()) : std::nullopt;
    }
    // One or more fraction digits, as milliseconds (cut, not rounded).
    bool fraction(int* millis, int* digitCount) {
        int ms = 0, n = 0;
        while (m_pos < m_text.size() && isDigit(m_text[m_pos])) {
            if (n < 3)
                ms = ms * 10 + (m_text[m_pos].unicode() - u'0');
            ++n;
            ++m_pos;
        }
        for (int i = n; i < 3; ++i)
            ms *= 10;
        *millis = ms;
        *digitCount = n;
        return n > 0;
    }
    bool atEnd() const { return m_pos == m_text.size(); }

private:
    static bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }
    QStringView m_text;
    qsizetype m_pos = 0;
};

enum class Fraction { none, anyDigits, sixDigits };

// yyyy-MM-ddTHH:mm:ss, validated, then the fraction the form asks for, as
// milliseconds since the epoch.
std::optional<int64_t> readDateTime(Cursor& in, Fraction fraction) {
    int y, mo, d, h, mi, s;
    if (!(in.digits(4, &y) && in.literal(u'-') && in.digits(2, &mo) && in.literal(u'-') &&
          in.digits(2, &d) && in.literal(u'T') && in.digits(2, &h) && in.literal(u':') &&
          in.digits(2, &mi) && in.literal(u':') && in.digits(2, &s)))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    int millis = 0, count = 0;
    if (fraction != Fraction::none && (!in.literal(u'.') || !in.fraction(&millis, &count) ||
                                       (fraction == Fraction::sixDigits && count != 6)))
        return std::nullopt;
    return daysFromCivil(y, mo, d) * msPerDay + ((h * 60 + mi) * 60 + s) * int64_t(1000) + millis;
}

// The instant as a UTC date, absent when its UTC year is outside 0000 to 9999:
// "9999-12-31T23:59:59-00:01" names a moment that formatFractional cannot
// write back, and a date that decodes must also be storable.
std::optional<QDateTime> utc(int64_t msSinceEpoch) {
    constexpr int64_t first = daysFromCivil(0, 1, 1) * msPerDay;
    constexpr int64_t pastLast = daysFromCivil(10000, 1, 1) * msPerDay;
    if (msSinceEpoch < first || msSinceEpoch >= pastLast)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
}

} // namespace

namespace DateCoding {

std::optional<QString> formatFractional(const QDateTime& date) {
    if (!date.isValid())
        return std::nullopt;
    const int64_t ms = date.toMSecsSinceEpoch();
    const int64_t days = ms >= 0 ? ms / msPerDay : (ms - msPerDay + 1) / msPerDay;
    const int64_t inDay = ms - days * msPerDay;
    const Civil c = civilFromDays(days);
    if (c.year < 0 || c.year > 9999)
        return std::nullopt;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", int(c.year),
                  c.month, c.day, int(inDay / 3'600'000), int(inDay / 60'000 % 60),
                  int(inDay / 1000 % 60), int(inDay % 1000));
    return QString::fromLatin1(buffer);
}

std::optional<QDateTime> parseInternetDateTime(QStringView text, bool withFraction) {
    Cursor in(text);
    const std::optional<int64_t> ms =
        readDateTime(in, withFraction ? Fraction::anyDigits : Fraction::none);
    if (!ms)
        return std::nullopt;
    if (in.literal(u'Z'))
        return in.atEnd() ? utc(*ms) : std::nullopt;
    const std::optional<char16_t> sign = in.peek();
    if (sign != u'+' && sign != u'-')
        return std::nullopt;
    in.literal(*sign);
    int oh, om;
    if (!(in.digits(2, &oh) && in.literal(u':') && in.digits(2, &om) && in.atEnd()) || oh > 23 ||
        om > 59)
        return std::nullopt;
    const int64_t offset = (oh * 60 + om) * int64_t(60'000);
    return utc(*sign == u'+' ? *ms - offset : *ms + offset);
}

std::optional<QDateTime> parseZoneless(QStringView text, bool withFraction) {
    Cursor in(text);
    const std::optional<int64_t> ms =
        readDateTime(in, withFraction ? Fraction::sixDigits : Fraction::none);
    return ms && in.atEnd() ? utc(*ms) : std::nullopt;
}

std::optional<QDateTime> parseAny(QStringView text) {
    if (auto date = parseInternetDateTime(text, true))
        return date;
    if (auto date = parseInternetDateTime(text, false))
        return date;
    if (auto date = parseZoneless(text, true))
        return date;
    return parseZoneless(text, false);
}

} // namespace DateCoding
