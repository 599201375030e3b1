#include "shared/log/Log.h"

#include "platform/LogSink.h"

#include <atomic>

namespace Log {

Q_LOGGING_CATEGORY(tunnel, "dev.morvel.vpn.tunnel", QtInfoMsg)
Q_LOGGING_CATEGORY(sysext, "dev.morvel.vpn.sysext", QtInfoMsg)
Q_LOGGING_CATEGORY(update, "dev.morvel.vpn.update", QtInfoMsg)
Q_LOGGING_CATEGORY(health, "dev.morvel.vpn.health", QtInfoMsg)
Q_LOGGING_CATEGORY(rulesets, "dev.morvel.vpn.rulesets", QtInfoMsg)
Q_LOGGING_CATEGORY(keychain, "dev.morvel.vpn.keychain", QtInfoMsg)

namespace {

std::atomic<LogSink*> currentSink{nullptr};

LogRecord recordFor(QtMsgType level, const char* categoryName, const QString& message) {
    const QLatin1StringView name(categoryName ? categoryName : "default");
    const QLatin1StringView ours(subsystem);
    LogRecord record;
    if (name.size() > ours.size() && name.startsWith(ours) && name[ours.size()] == u'.') {
        record.subsystem = ours;
        record.category = name.sliced(ours.size() + 1);
    } else {
        record.category = name;
    }
    record.level = level;
    record.message = message;
    return record;
}

void handleMessage(QtMsgType level, const QMessageLogContext& context, const QString& message) {
    if (LogSink* sink = currentSink.load())
        sink->write(recordFor(level, context.category, message));
}

} // namespace

QByteArray printable(QStringView text) {
    QByteArray out;
    qsizetype plainFrom = 0; // start of the run of characters written as they are
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        const bool control = u < 0x20 || (u >= 0x7f && u < 0xa0);
        if (!control && u != 0x2028 && u != 0x2029)
            continue;
        out += text.sliced(plainFrom, i - plainFrom).toUtf8();
        out += control ? "\\x" + QByteArray::number(u, 16).rightJustified(2, '0')
                       : "\\u" + QByteArray::number(u, 16);
        plainFrom = i + 1;
    }
    return out + text.sliced(plainFrom).toUtf8();
}

LogSink* installSink(LogSink* sink) {
    LogSink* previous = currentSink.exchange(sink);
    qInstallMessageHandler(sink ? handleMessage : nullptr);
    return previous;
}

} // namespace Log
