#pragma once

#include "shared/log/Log.h"

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <exception>
#include <type_traits>
#include <utility>

// Work started with nobody to await it: a timer's, a button's, a callback's.
// Whatever such a task throws would otherwise vanish with it, so every one is
// started here, where an escaped failure becomes an error line, and where the
// follow-up runs only while `context` lives: once it is gone, nothing of the
// task reaches it.
namespace Detached {

using Category = const QLoggingCategory& (*)();

namespace detail {

template <typename T, typename Done>
QCoro::Task<void> guard(QCoro::Task<T> task, QPointer<QObject> context, Category category,
                        Done done) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
            if (context)
                done();
        } else {
            T value = co_await task;
            if (context)
                done(std::move(value));
        }
    } catch (const std::exception& error) {
        // Every failure of this system's own describes itself in what().
        qCCritical(category, "task failed: %s",
                   Log::printable(QString::fromUtf8(error.what())).constData());
    } catch (...) {
        qCCritical(category, "task failed: unknown error");
    }
}

} // namespace detail

// Runs `task` to its end; `done` follows it (with its value) unless `context`
// is gone by then.
template <typename T, typename Done>
void start(QCoro::Task<T>&& task, QObject* context, Category category, Done done) {
    detail::guard(std::move(task), QPointer<QObject>(context), category, std::move(done));
}

template <typename T> void start(QCoro::Task<T>&& task, QObject* context, Category category) {
    start(std::move(task), context, category, [](auto&&...) {});
}

} // namespace Detached
