#pragma once

#include <QLoggingCategory>

class LogSink;

// The components' log categories, "dev.morvel.vpn.<component>". Each logs its
// successes at info level (on by default) and its failures as critical, which
// the system log files as errors. Write lines printf-style so their text is
// exactly what is written, with no quoting added by the stream operators.
namespace Log {

inline constexpr char subsystem[] = "dev.morvel.vpn";

Q_DECLARE_LOGGING_CATEGORY(tunnel)
Q_DECLARE_LOGGING_CATEGORY(sysext)
Q_DECLARE_LOGGING_CATEGORY(update)
Q_DECLARE_LOGGING_CATEGORY(health)
Q_DECLARE_LOGGING_CATEGORY(rulesets)
Q_DECLARE_LOGGING_CATEGORY(keychain)

// `text` as it may stand in a log line when it came from the network (a
// rule-set name, a server's words): control characters and line separators
// are written as \xNN or \uNNNN, so no value can forge or split a line.
QByteArray printable(QStringView text);

// Sends every Qt log message of the process to `sink` (not owned; null restores
// Qt's default output). Returns the sink that was installed before.
LogSink* installSink(LogSink* sink);

} // namespace Log
