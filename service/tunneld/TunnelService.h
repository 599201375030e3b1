#pragma once

#include "service/tunneld/TunnelSession.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>
#include <sys/types.h>

class Authorization;
class Firewall;
class ProfileStore;
struct TunnelProfile;
class RunningRecords;

// The object on the bus: each caller's VPN profiles and their tunnels, served
// through the adaptor generated from the interface file. The caller's user is
// asked of the bus daemon for every call, never read from the message, and a
// caller sees and touches only that user's profiles: to anyone else they do
// not exist. In system mode a user must be approved (polkit) before saving or
// starting a profile. Nothing here blocks or runs a nested event loop: every
// wait is a coroutine's, with a bound.
class TunnelService final : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    enum class Mode { session, system };

    // `firewall` guards system mode's tunnels; null in session mode.
    TunnelService(QDBusConnection bus, Mode mode, TunnelSession::Timing timing, ProfileStore& store,
                  RunningRecords& records, Authorization& authorization, Firewall* firewall,
                  QObject* parent = nullptr);
    ~TunnelService() override;

    // Re-establishes every connected tunnel (after sleep, on a new network).
    void reassertAll(const QString& why);
    // Stops every tunnel for the service's own exit; `stopped` follows once
    // they are down, or once the stop bound has passed.
    void shutdown();

    // Most connections remembered per user for status announcements; the
    // oldest is forgotten first.
    static constexpr qsizetype maxCallersPerUser = 32;

    // The calls of the bus interface.
    QList<QVariantMap> LoadAll();
    QString Save(const QVariantMap& profile);
    QVariantMap Load(const QString& id);
    void Remove(const QString& id);
    void Start(const QString& id);
    void Stop(const QString& id);
    QString Status(const QString& id);
    QString RequestApproval(bool interactive);
    void RevokeApproval();

Q_SIGNALS:
    void stopped();

private:
    // What a call does once its caller's user is known; the reply it makes.
    using Handler = std::function<QCoro::Task<QDBusMessage>(uid_t uid)>;

    void serve(Handler handler);
    QCoro::Task<void> run(QDBusMessage call, Handler handler);
    // The caller's uid; absent when it cannot be told (or, in system mode,
    // the user is unknown to the system).
    QCoro::Task<std::optional<uid_t>> callerUid(QString busName);
    // Asks the bus daemon `method` about `busName`, answered within 5 s.
    QDBusPendingCall askBus(const QString& method, const QString& busName) const;
    void rememberCaller(const QString& busName, uid_t uid);
    void forgetCaller(const QString& busName);
    // Whether one more change of `uid` fits its budget: one user's loop must
    // not take the service from everyone else.
    bool withinBudget(uid_t uid);
    // The answer to a change of profile `id` that cannot go on: the profile
    // is not the caller's, or the caller's budget is spent.
    std::optional<QDBusMessage> refuseChange(const QDBusMessage& call, uid_t uid,
                                             const QString& id);

    QCoro::Task<QDBusMessage> doLoadAll(QDBusMessage call, uid_t uid);
    QCoro::Task<QDBusMessage> doSave(QDBusMessage call, uid_t uid, QVariantMap map);
    QCoro::Task<QDBusMessage> doLoad(QDBusMessage call, uid_t uid, QString id);
    QCoro::Task<QDBusMessage> doRemove(QDBusMessage call, uid_t uid, QString id);
    QCoro::Task<QDBusMessage> doStart(QDBusMessage call, uid_t uid, QString id);
    QCoro::Task<QDBusMessage> doStop(QDBusMessage call, uid_t uid, QString id);
    QCoro::Task<QDBusMessage> doStatus(QDBusMessage call, uid_t uid, QString id);
    QCoro::Task<QDBusMessage> doRequestApproval(QDBusMessage call, uid_t uid, bool interactive);
    QCoro::Task<QDBusMessage> doRevokeApproval(QDBusMessage call, uid_t uid);

    // Starts the profile's tunnel behind the firewall (system mode), once the
    // user's other tunnel, if any, is down.
    QCoro::Task<QDBusMessage> launch(QDBusMessage call, uid_t uid, QString id);
    QDBusMessage launchNow(const QDBusMessage& call, uid_t uid, const QString& id);
    // Why the profile's tunnel may not start now; empty when it may.
    QString refusal(uid_t uid, const TunnelProfile& profile) const;
    QDBusMessage refuse(const QDBusMessage& call, uid_t uid, const QString& id,
                        const QString& why) const;
    // Drops the firewall, on a later turn, once no tunnel runs or is starting.
    void lowerWhenIdle();
    QCoro::Task<void> lowerFirewall(QString why);
    QCoro::Task<void> finishShutdown();
    VpnStatus statusOf(uid_t uid, const QString& id) const;
    TunnelSession* sessionFor(uid_t uid, const QString& id);
    void announce(uid_t uid, const QString& id, VpnStatus status);
    static QString key(uid_t uid, const QString& id);
    static uid_t uidOf(const QString& key);

    QDBusConnection m_bus;
    Mode m_mode;
    TunnelSession::Timing m_timing;
    ProfileStore& m_store;
    RunningRecords& m_records;
    Authorization& m_authorization;
    Firewall* m_firewall;
    // Starts waiting for the firewall, by "<uid>-<id>": a stop, removal or
    // revocation meanwhile withdraws the ticket and the start is dropped.
    QHash<QString, quint64> m_launches;
    quint64 m_lastTicket = 0;
    // Running tunnels by "<uid>-<id>".
    QHash<QString, TunnelSession*> m_sessions;
    // Users of the callers seen, by unique bus name, until they leave the bus;
    // the status announcements go to them.
    QHash<QString, uid_t> m_callers;
    QHash<uid_t, QStringList> m_callersByUser; // oldest first
    QDBusServiceWatcher m_callerWatcher;
    struct Budget {
        double left = 0;
        QElapsedTimer since;
    };
    QHash<uid_t, Budget> m_budgets;
    bool m_stopping = false;
};
