#pragma once

#include <QObject>

// A flag that a running loop or request checks after every wait, and a signal
// that cuts short the wait it is in: a sleep ends, a request is aborted. Held
// by shared pointer between the owner that cancels and the tasks that obey.
class Cancellation final : public QObject {
    Q_OBJECT
public:
    bool isCancelled() const { return m_cancelled; }
    // Idempotent: only the first call signals.
    void cancel();

signals:
    void cancelled();

private:
    bool m_cancelled = false;
};
