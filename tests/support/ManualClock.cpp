#include "tests/support/ManualClock.h"

#include <QPointer>

#include <algorithm>
#include <vector>

using namespace std::chrono;

struct ManualClock::State {
    struct Armed {
        nanoseconds due;
        quint64 order; // ties fire in the order they were armed
        QPointer<ClockTimer> timer;
    };
    QDateTime wallAtZero;
    nanoseconds elapsed{0};
    quint64 nextOrder = 0;
    std::vector<Armed> armed;

    void disarm(const ClockTimer* timer) {
        std::erase_if(armed, [timer](const Armed& a) { return a.timer == timer || !a.timer; });
    }
};

namespace {

// Holds the clock's state, not the clock, so a timer may outlive its clock.
class ManualTimer final : public ClockTimer {
public:
    explicit ManualTimer(std::shared_ptr<ManualClock::State> state)
        : m_state(std::move(state)) {}
    ~ManualTimer() override { m_state->disarm(this); }
    void start(milliseconds span) override {
        m_state->disarm(this);
        m_state->armed.push_back({m_state->elapsed + span, m_state->nextOrder++, this});
    }
    void stop() override { m_state->disarm(this); }

private:
    std::shared_ptr<ManualClock::State> m_state;
};

} // namespace

ManualClock::ManualClock(QDateTime start)
    : m_state(std::make_shared<State>()) {
    m_state->wallAtZero = start.toUTC();
}

QDateTime ManualClock::now() const {
    return m_state->wallAtZero.addMSecs(duration_cast<milliseconds>(m_state->elapsed).count());
}

nanoseconds ManualClock::monotonic() const {
    return m_state->elapsed;
}

std::unique_ptr<ClockTimer> ManualClock::createTimer() const {
    return std::make_unique<ManualTimer>(m_state);
}

void ManualClock::advance(milliseconds span) {
    const nanoseconds target = m_state->elapsed + span;
    for (;;) {
        auto& armed = m_state->armed;
        std::erase_if(armed, [](const State::Armed& a) { return !a.timer; });
        const auto next = std::min_element(armed.begin(), armed.end(), [](auto& a, auto& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == armed.end() || next->due > target)
            break;
        m_state->elapsed = std::max(m_state->elapsed, next->due);
        const QPointer<ClockTimer> timer = next->timer;
        armed.erase(next);
        emit timer->timeout();
    }
    m_state->elapsed = target;
}

int ManualClock::pendingTimers() const {
    return int(std::count_if(m_state->armed.begin(), m_state->armed.end(),
                             [](const State::Armed& a) { return !a.timer.isNull(); }));
}
