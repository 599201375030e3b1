#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// The one textual form of every date the system stores or receives. Dates are
// UTC with millisecond precision; parsing is strict (a date without a time, a
// lower-case "t", an hour of 24 are all refused), unlike Qt's own ISO parser.
// Every parser also refuses a date whose UTC year falls outside 0000 to 9999,
// so whatever parses can be formatted again.
namespace DateCoding {

// 2026-06-27T19:19:05.250Z. Absent for an invalid date or one whose year has
// no four-digit form.
std::optional<QString> formatFractional(const QDateTime& date);

// RFC 3339 date-time with a zone ("Z" or "+03:00"), with a fraction of one or
// more digits (`withFraction`) or with none. Digits past milliseconds are cut.
std::optional<QDateTime> parseInternetDateTime(QStringView text, bool withFraction);

// "yyyy-MM-dd'T'HH:mm:ss.SSSSSS" (exactly six fraction digits) or, without
// `withFraction`, "yyyy-MM-dd'T'HH:mm:ss"; no zone, read as UTC.
std::optional<QDateTime> parseZoneless(QStringView text, bool withFraction);

// The four forms above in turn: fractional, whole-second, six-digit zoneless,
// whole-second zoneless. The first that accepts the text wins.
std::optional<QDateTime> parseAny(QStringView text);

} // namespace DateCoding
