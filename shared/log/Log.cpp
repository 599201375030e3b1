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

LogSink* installSink(LogSink* sink) {
    LogSink* previous = currentSink.exchange(sink);
    qInstallMessageHandler(sink ? handleMessage : nullptr);
    return previous;
}

} // namespace Log
