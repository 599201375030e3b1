#pragma once

#include <QDateTime>
#include <QObject>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class Cancellation;

// A single-shot timer that runs on a Clock's time. Destroying it disarms it.
class ClockTimer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Arms the timer to fire once, `span` from now, replacing any earlier arming.
    virtual void start(std::chrono::milliseconds span) = 0;
    virtual void stop() = 0;

signals:
    void timeout();
};

// The time of every pause, time-out, latency and "now" of the library and the
// app core. Components are handed a clock when they are made; production
// passes Clock::system(), and tests a clock whose time they move themselves,
// so that a 30-second poll or a 10-second time-out is a step of the test, not
// a wait, and no verdict depends on how busy the machine is.
class Clock {
public:
    virtual ~Clock();

    // The operating system's clocks, for production wiring.
    static std::shared_ptr<Clock> system();

    // The current time, in UTC: compared with file dates and stored.
    virtual QDateTime now() const = 0;
    // Time since an arbitrary fixed point; never goes back.
    virtual std::chrono::nanoseconds monotonic() const = 0;
    virtual std::unique_ptr<ClockTimer> createTimer() const = 0;

    // Pauses for `span` of this clock; returns early, on the next turn of the
    // event loop, when `cancellation` fires. A span of zero or less just lets
    // the event loop turn once, whatever the clock.
    QCoro::Task<void> sleep(std::chrono::milliseconds span,
                            std::shared_ptr<Cancellation> cancellation = {}) const;
};
