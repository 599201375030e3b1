#pragma once

#include "platform/LogSink.h"

#include <QList>
#include <QStringList>

#include <mutex>

// Collects every log line written while it lives, instead of the system log.
class LogCapture final : public LogSink {
public:
    LogCapture();
    ~LogCapture() override;

    void write(const LogRecord& record) override;
    QList<LogRecord> records() const;
    // The messages of one of our categories ("health", "rulesets", ...),
    // prefixed "error: " when logged as a failure.
    QStringList lines(const QString& category) const;

private:
    LogSink* m_previous;
    mutable std::mutex m_mutex;
    QList<LogRecord> m_records;
};
