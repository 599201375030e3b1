#include "tests/support/LogCapture.h"

#include "shared/log/Log.h"

LogCapture::LogCapture()
    : m_previous(Log::installSink(this)) {}

LogCapture::~LogCapture() {
    Log::installSink(m_previous);
}

void LogCapture::write(const LogRecord& record) {
    std::lock_guard lock(m_mutex);
    m_records.append(record);
}

QList<LogRecord> LogCapture::records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

QStringList LogCapture::lines(const QString& category) const {
    QStringList result;
    for (const LogRecord& record : records()) {
        if (record.subsystem == QLatin1StringView(Log::subsystem) && record.category == category)
            result << (record.level == QtCriticalMsg ? QStringLiteral("error: ") : QString()) +
                          record.message;
    }
    return result;
}
