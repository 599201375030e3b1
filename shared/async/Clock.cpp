#include "shared/async/Clock.h"

#include "shared/async/Cancellation.h"

#include <QTimer>
#include <qcoro/qcorosignal.h>

namespace {

class SystemTimer final : public ClockTimer {
public:
    SystemTimer() {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &ClockTimer::timeout);
    }
    void start(std::chrono::milliseconds span) override { m_timer.start(span); }
    void stop() override { m_timer.stop(); }

private:
    QTimer m_timer;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    std::chrono::nanoseconds monotonic() const override {
        return std::chrono::steady_clock::now().time_since_epoch();
    }
    std::unique_ptr<ClockTimer> createTimer() const override {
        return std::make_unique<SystemTimer>();
    }
};

} // namespace

Clock::~Clock() = default;

std::shared_ptr<Clock> Clock::system() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

QCoro::Task<void> Clock::sleep(std::chrono::milliseconds span,
                               std::shared_ptr<Cancellation> cancellation) const {
    if (cancellation && cancellation->isCancelled())
        co_return;
    // Nothing below touches `this` after the first suspension: the timer is
    // all the pause needs, and it may outlive a test's clock.
    const std::unique_ptr<ClockTimer> timer =
        span.count() > 0 ? createTimer() : std::make_unique<SystemTimer>();
    ClockTimer* const raw = timer.get();
    // Cancelling ends the pause on the next turn of the event loop, by real
    // time: a test's clock may never be moved again.
    QMetaObject::Connection onCancel;
    if (cancellation)
        onCancel = QObject::connect(cancellation.get(), &Cancellation::cancelled, raw, [raw] {
            raw->stop();
            QTimer::singleShot(0, raw, [raw] { emit raw->timeout(); });
        });
    raw->start(std::max(span, std::chrono::milliseconds(0)));
    auto fired = qCoro(raw, &ClockTimer::timeout);
    co_await fired;
    QObject::disconnect(onCancel);
}
