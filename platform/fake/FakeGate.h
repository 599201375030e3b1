#pragma once

#include <QObject>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>

#include <memory>

// A held call of a fake: the coroutine waits here until the test opens it.
class FakeGate final : public QObject {
    Q_OBJECT
public:
    void open() { Q_EMIT opened(); }

    static QCoro::Task<void> wait(std::shared_ptr<FakeGate> gate) {
        auto opening = qCoro(gate.get(), &FakeGate::opened);
        co_await opening;
    }

Q_SIGNALS:
    void opened();
};
