#include "shared/coding/DateCoding.h"

#include "tests/support/QtPrinters.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QDateTime utc(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs);
}

struct ParseCase {
    const char* text;
    const char* expected; // UTC instant, or null when every parser must refuse
};

TEST(DateCoding, ParsesTheFourFormsAndNothingElse) {
    const ParseCase cases[] = {
        {"2026-06-27T19:19:05.250Z", "2026-06-27T19:19:05.250Z"},
        {"2026-06-27T19:19:05.123+02:00", "2026-06-27T17:19:05.123Z"},
        {"2026-06-27T19:19:05.123999Z", "2026-06-27T19:19:05.123Z"},
        {"2026-06-27T19:19:05+03:00", "2026-06-27T16:19:05.000Z"},
        {"2026-01-31T23:59:59Z", "2026-01-31T23:59:59.000Z"},
        {"2026-06-27T19:19:05.123456", "2026-06-27T19:19:05.123Z"},
        {"2026-06-27T19:19:05", "2026-06-27T19:19:05.000Z"},
        {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00.000Z"},
        {"1969-12-31T23:59:59.999Z", "1969-12-31T23:59:59.999Z"},
        {"9999-12-31T23:59:59.999+00:01", "9999-12-31T23:58:59.999Z"},
        {"9999-12-31T23:59:59-00:01", nullptr}, // UTC year 10000 has no stored form
        {"0000-01-01T00:00:00+00:01", nullptr},
        {"0000-01-01T00:00:00.5+00:01", nullptr},
        {"2026-06-27", nullptr},
        {"2026-06-27T19:19:05.123", nullptr}, // zoneless needs six digits
        {"2026-06-27T19:19:05.1234567", nullptr},
        {"2026-06-27t19:19:05Z", nullptr},
        {"2026-06-27T24:00:00Z", nullptr},
        {"2026-02-29T00:00:00Z", nullptr},
        {"2026-06-27T19:19:05+0300", nullptr},
        {"2026-06-27T19:19:05+24:00", nullptr},
        {"2026-06-27T19:19:05Z ", nullptr},
        {"26-06-27T19:19:05Z", nullptr},
        {"", nullptr},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<QDateTime> parsed = DateCoding::parseAny(QString::fromLatin1(c.text));
        if (!c.expected) {
            EXPECT_FALSE(parsed.has_value());
            continue;
        }
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, utc(c.expected));
        EXPECT_EQ(parsed->timeSpec(), Qt::UTC);
    }
}

TEST(DateCoding, HeaderFormsRefuseZonelessText) {
    EXPECT_FALSE(DateCoding::parseInternetDateTime(u"2026-06-27T19:19:05", false));
    EXPECT_FALSE(DateCoding::parseInternetDateTime(u"2026-06-27T19:19:05Z", true));
    EXPECT_FALSE(DateCoding::parseInternetDateTime(u"2026-06-27T19:19:05.1Z", false));
}

TEST(DateCoding, FormatsMillisecondsInUtcAndRefusesYearsWithoutFourDigits) {
    const QDateTime offset(QDate(2026, 6, 27), QTime(21, 19, 5, 250), QTimeZone(7200));
    EXPECT_EQ(DateCoding::formatFractional(offset), QStringLiteral("2026-06-27T19:19:05.250Z"));
    EXPECT_EQ(DateCoding::formatFractional(QDateTime::fromMSecsSinceEpoch(-1, Qt::UTC)),
              QStringLiteral("1969-12-31T23:59:59.999Z"));
    // Qt has no year 0: its year -1 (1 BC) is the ISO year 0000.
    const QDateTime yearZero(QDate(-1, 12, 31), QTime(0, 0), Qt::UTC);
    EXPECT_EQ(DateCoding::formatFractional(yearZero), QStringLiteral("0000-12-31T00:00:00.000Z"));
    EXPECT_EQ(DateCoding::parseAny(u"0000-12-31T00:00:00Z"), yearZero);
    EXPECT_FALSE(DateCoding::formatFractional(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC)));
    EXPECT_FALSE(DateCoding::formatFractional(QDateTime(QDate(-2, 12, 31), QTime(0, 0), Qt::UTC)));
    EXPECT_FALSE(DateCoding::formatFractional(QDateTime()));
}

TEST(DateCoding, EveryFormattedDateParsesBackExactly) {
    // Steps through ~30 years at an odd stride so every month, leap day and
    // millisecond digit pattern shows up.
    for (qint64 ms = -86'400'000LL * 365 * 5; ms < 86'400'000LL * 365 * 25; ms += 7'777'777'777) {
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        const std::optional<QString> text = DateCoding::formatFractional(date);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, date.toString(Qt::ISODateWithMs));
        EXPECT_EQ(DateCoding::parseAny(*text), date);
    }
}

} // namespace
