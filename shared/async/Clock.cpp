#include "shared/async/Clock.h"

#include "shared/async/Cancellation.h"

#include <QTimer>
#include <qcoro/qcorosignal.h>

#include <atomic>
#include <cmath>

namespace {
std::atomic<double> sharedSpeed{1.0};
}

Clock::Clock(double speed)
    : m_speed(speed > 0 ? speed : 1.0) {}

Clock Clock::shared() {
    return Clock(sharedSpeed.load());
}

void Clock::setShared(Clock clock) {
    sharedSpeed.store(clock.m_speed);
}

QDateTime Clock::now() const {
    return QDateTime::currentDateTimeUtc();
}

double Clock::monotonicMs() const {
    const auto real = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(real).count() * m_speed;
}

std::chrono::milliseconds Clock::realDuration(std::chrono::milliseconds span) const {
    return std::chrono::milliseconds(qint64(std::ceil(double(span.count()) / m_speed)));
}

QCoro::Task<void> Clock::sleep(std::chrono::milliseconds span,
                               std::shared_ptr<Cancellation> cancellation) const {
    if (cancellation && cancellation->isCancelled())
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    // Cancelling restarts the timer at zero: the pause ends on the next turn
    // of the event loop.
    QMetaObject::Connection onCancel;
    if (cancellation)
        onCancel = QObject::connect(cancellation.get(), &Cancellation::cancelled, &timer,
                                    [&timer] { timer.start(0); });
    timer.start(realDuration(span));
    auto timeout = qCoro(&timer, &QTimer::timeout);
    co_await timeout;
    QObject::disconnect(onCancel);
}
