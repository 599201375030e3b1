#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

// One line of the program's log, split the way the system log files it.
struct LogRecord {
    QString subsystem; // "dev.morvel.vpn" for our own categories, empty for others
    QString category;  // "health", "rulesets", ... or a foreign category's full name
    QtMsgType level = QtInfoMsg;
    QString message;
};

// Where log lines end up. The system sink writes to the platform's log; tests
// install a capturing one.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

// The platform's log: the systemd journal, or stderr where no journal runs.
std::unique_ptr<LogSink> createSystemLogSink();
