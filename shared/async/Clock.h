#pragma once

#include <QDateTime>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class Cancellation;

// The time of the library's pauses, time-outs and latencies. The real clock
// runs at speed 1. A test runs a faster one, so that a 30-second pause passes
// in milliseconds while everything measured against the same clock (a probe's
// latency, a request's time-out) keeps its proportions. "Now" is always the
// wall clock: it is compared with file dates and stored.
class Clock {
public:
    explicit Clock(double speed = 1.0);

    // The clock of every component that is not handed another one.
    static Clock shared();
    // Replaces the shared clock; components read it when they are created.
    static void setShared(Clock clock);

    double speed() const { return m_speed; }
    QDateTime now() const;
    // Milliseconds on this clock since an arbitrary fixed point; never goes back.
    double monotonicMs() const;
    // How long `span` of this clock lasts in real time.
    std::chrono::milliseconds realDuration(std::chrono::milliseconds span) const;

    // Pauses for `span` of this clock; returns early when `cancellation` fires.
    QCoro::Task<void> sleep(std::chrono::milliseconds span,
                            std::shared_ptr<Cancellation> cancellation) const;

private:
    double m_speed;
};
