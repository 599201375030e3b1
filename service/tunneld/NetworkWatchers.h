#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

// Announces the return from sleep, as logind reports it (PrepareForSleep
// with false), so that connected tunnels can be re-established.
class SleepWatcher final : public QObject {
    Q_OBJECT
public:
    // False when logind's signal cannot be subscribed to on `bus`.
    bool watch(QDBusConnection bus);

Q_SIGNALS:
    void resumed();

private Q_SLOTS:
    void prepareForSleep(bool sleeping);
};

// Announces a change of the default route (another network, a new gateway),
// read from the kernel's routing messages. Changes come in bursts while a
// network comes up: one announcement follows once they settle. Routes through
// tun devices, such as the tunnel's own, do not count.
class RouteWatcher final : public QObject {
    Q_OBJECT
public:
    explicit RouteWatcher(std::chrono::milliseconds settle, QObject* parent = nullptr);
    ~RouteWatcher() override;

    // False when the kernel's routing messages cannot be subscribed to.
    bool watch();

    // The default routes as "<family> <interface> <gateway>" lines, sorted.
    static QString defaultRoutes();

Q_SIGNALS:
    void defaultRouteChanged();

private:
    void readMessages();
    void settle();

    int m_socket = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_settle;
    QString m_routes;
};
