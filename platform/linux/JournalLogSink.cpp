#include "platform/linux/JournalLogSink.h"

#include <QVarLengthArray>

#include <cstdio>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

std::unique_ptr<LogSink> createSystemLogSink() {
    return std::make_unique<JournalLogSink>();
}

JournalLogSink::JournalLogSink()
    : m_journalRunning(::access("/run/systemd/journal/socket", W_OK) == 0) {}

int JournalLogSink::priority(QtMsgType level) {
    switch (level) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        // Our failures are logged as critical; to the journal they are errors,
        // not the "critical conditions" that syslog reserves for the system.
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    }
    return LOG_INFO;
}

QByteArrayList JournalLogSink::journalFields(const LogRecord& record) {
    QByteArrayList fields;
    fields << "MESSAGE=" + record.message.toUtf8()
           << "PRIORITY=" + QByteArray::number(priority(record.level))
           << "CATEGORY=" + record.category.toUtf8();
    if (!record.subsystem.isEmpty())
        fields << "SUBSYSTEM=" + record.subsystem.toUtf8();
    return fields;
}

QByteArray JournalLogSink::stderrLine(const LogRecord& record) {
    const QString origin =
        record.subsystem.isEmpty() ? record.category : record.subsystem + u'.' + record.category;
    const char* level = record.level == QtCriticalMsg || record.level == QtFatalMsg ? "error"
                        : record.level == QtWarningMsg                              ? "warning"
                        : record.level == QtDebugMsg                                ? "debug"
                                                                                    : "info";
    return "[" + origin.toUtf8() + "] " + level + ": " + record.message.toUtf8() + '\n';
}

void JournalLogSink::write(const LogRecord& record) {
    if (m_journalRunning) {
        const QByteArrayList fields = journalFields(record);
        QVarLengthArray<iovec, 4> vec;
        for (const QByteArray& field : fields)
            vec.append(iovec{const_cast<char*>(field.constData()), size_t(field.size())});
        if (sd_journal_sendv(vec.data(), int(vec.size())) >= 0)
            return;
    }
    const QByteArray line = stderrLine(record);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}
