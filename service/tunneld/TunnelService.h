#pragma once

#include "service/tunneld/TunnelSession.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <optional>
#include <sys/types.h>

class Authorization;
class ProfileStore;
class RunningRecords;

// The object on the bus: each caller's VPN profiles and their tunnels. The
// caller's user is asked of the bus daemon for every call, never read from
// the message, and a caller sees and touches only that user's profiles: to
// anyone else they do not exist. In system mode a user must be approved
// (polkit, once) before saving or starting a profile.
class TunnelService final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "dev.morvel.vpn.Tunnel1")
public:
    enum class Mode { session, system };

    TunnelService(QDBusConnection bus, Mode mode, TunnelSession::Timing timing, ProfileStore& store,
                  RunningRecords& records, Authorization& authorization, QObject* parent = nullptr);
    ~TunnelService() override;

    // Re-establishes every connected tunnel (after sleep, on a new network).
    void reassertAll(const QString& why);
    // Stops every tunnel for the service's own exit: each provider gets the
    // stop bound to wind its engine down, then what is left is killed.
    void shutdown();

public Q_SLOTS:
    QList<QVariantMap> LoadAll();
    QString Save(const QVariantMap& profile);
    QVariantMap Load(const QString& id);
    void Remove(const QString& id);
    void Start(const QString& id);
    void Stop(const QString& id);
    QString Status(const QString& id);
    QString RequestApproval(bool interactive);

Q_SIGNALS:
    // Declared for introspection only: it is sent to the owner's connections
    // one by one, never broadcast, so no one learns of others' tunnels.
    void StatusChanged(const QString& id, const QString& status);

private:
    using Handler = QDBusMessage (TunnelService::*)(const QDBusMessage& call, uid_t uid);

    void serve(Handler handler);
    // The caller's uid; when it cannot be told, the call is answered AccessDenied.
    QCoro::Task<std::optional<uid_t>> identify(QDBusMessage call);
    QCoro::Task<void> run(QDBusMessage call, Handler handler);
    QCoro::Task<void> runApproval(QDBusMessage call, bool interactive);
    QCoro::Task<std::optional<uid_t>> callerUid(QString busName);

    QDBusMessage doLoadAll(const QDBusMessage& call, uid_t uid);
    QDBusMessage doSave(const QDBusMessage& call, uid_t uid);
    QDBusMessage doLoad(const QDBusMessage& call, uid_t uid);
    QDBusMessage doRemove(const QDBusMessage& call, uid_t uid);
    QDBusMessage doStart(const QDBusMessage& call, uid_t uid);
    QDBusMessage doStop(const QDBusMessage& call, uid_t uid);
    QDBusMessage doStatus(const QDBusMessage& call, uid_t uid);

    VpnStatus statusOf(uid_t uid, const QString& id) const;
    TunnelSession* sessionFor(uid_t uid, const QString& id);
    void announce(uid_t uid, const QString& id, VpnStatus status);
    static QString key(uid_t uid, const QString& id);

    QDBusConnection m_bus;
    Mode m_mode;
    TunnelSession::Timing m_timing;
    ProfileStore& m_store;
    RunningRecords& m_records;
    Authorization& m_authorization;
    // Running tunnels by "<uid>-<id>".
    QHash<QString, TunnelSession*> m_sessions;
    // Users of the callers seen, by unique bus name, until they leave the bus;
    // the status announcements go to them.
    QHash<QString, uid_t> m_callers;
    QDBusServiceWatcher m_callerWatcher;
};
