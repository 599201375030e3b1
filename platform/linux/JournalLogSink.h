#pragma once

#include "platform/LogSink.h"

#include <QByteArrayList>

// Writes each record to the systemd journal with SUBSYSTEM, CATEGORY, PRIORITY
// and MESSAGE fields, so `journalctl SUBSYSTEM=dev.morvel.vpn CATEGORY=health`
// finds one component's lines. Falls back to stderr when the journal is not
// running or refuses a line, so nothing is lost on machines without systemd.
class JournalLogSink final : public LogSink {
public:
    JournalLogSink();
    void write(const LogRecord& record) override;

    static QByteArrayList journalFields(const LogRecord& record);
    static QByteArray stderrLine(const LogRecord& record);
    static int priority(QtMsgType level);

private:
    bool m_journalRunning;
};
