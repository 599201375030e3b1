#pragma once

#include <QEventLoop>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

// Runs coroutines to completion from a test, on the test's event loop. Unlike
// QCoro::waitFor, a task's exception reaches the caller, and a task that never
// ends fails after `limit` instead of hanging the test program.
namespace Async {

struct TimedOut : std::runtime_error {
    TimedOut()
        : std::runtime_error("the task did not finish in time") {}
};

template <typename T> struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
};
template <> struct Outcome<void> {
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
};

template <typename T>
QCoro::Task<void> capture(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> outcome) {
    try {
        if constexpr (std::is_void_v<T>)
            co_await task;
        else
            outcome->value = co_await task;
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
    outcome->loop.quit();
}

template <typename T>
T run(QCoro::Task<T>&& task, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto outcome = std::make_shared<Outcome<T>>();
    capture(std::move(task), outcome);
    if (!outcome->done) {
        QTimer::singleShot(limit, &outcome->loop, &QEventLoop::quit);
        outcome->loop.exec();
    }
    if (!outcome->done)
        throw TimedOut();
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome->value);
}

// Spins the event loop until `condition` holds or `limit` passes; returns it.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(2);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}

} // namespace Async
