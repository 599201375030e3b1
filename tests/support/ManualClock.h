#pragma once

#include "shared/async/Clock.h"

#include <memory>

// A clock that stands still until the test moves it. Moving it fires every
// timer that falls due on the way, earliest first, each with the clock set to
// its due time; the code those timers wake runs inside advance().
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromString(
                             QStringLiteral("2026-06-27T12:00:00.000Z"), Qt::ISODateWithMs));

    QDateTime now() const override;
    std::chrono::nanoseconds monotonic() const override;
    std::unique_ptr<ClockTimer> createTimer() const override;

    void advance(std::chrono::milliseconds span);
    // Timers armed and not yet fired.
    int pendingTimers() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};
