#include "service/tunneld/TunnelService.h"

#include "service/tunneld/Authorization.h"
#include "service/tunneld/ProfileStore.h"
#include "service/tunneld/ServiceLog.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <qcoro/qcorodbuspendingcall.h>

#include <unistd.h>

using namespace Qt::StringLiterals;
namespace Api = TunnelServiceApi;

namespace {

QDBusMessage notFound(const QDBusMessage& call) {
    return call.createErrorReply(QString(Api::Error::notFound), u"No such VPN profile."_s);
}

// The subscription URL and its parts long enough to be a token: texts that
// the provider's lines must never carry into the journal.
QStringList secretsOf(const TunnelProfile::Protocol& protocol) {
    QStringList secrets;
    const auto addUrl = [&secrets](const QString& text) {
        if (text.isEmpty())
            return;
        secrets << text;
        const QUrl url(text);
        for (const QString& segment : url.path().split(u'/', Qt::SkipEmptyParts))
            if (segment.size() >= 8)
                secrets << segment;
        for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
            if (value.size() >= 8)
                secrets << value;
    };
    addUrl(protocol.serverAddress);
    addUrl(protocol.providerConfiguration.value(u"subscription_url"_s).toString());
    // Longest first, so a part never hides inside a longer secret's replacement.
    std::sort(secrets.begin(), secrets.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    secrets.removeDuplicates();
    return secrets;
}

QVariantMap mapArgument(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == "a{sv}"_L1)
            return qdbus_cast<QVariantMap>(argument);
        return {};
    }
    return value.toMap();
}

} // namespace

TunnelService::TunnelService(QDBusConnection bus, Mode mode, TunnelSession::Timing timing,
                             ProfileStore& store, RunningRecords& records,
                             Authorization& authorization, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_mode(mode)
    , m_timing(timing)
    , m_store(store)
    , m_records(records)
    , m_authorization(authorization) {
    m_callerWatcher.setConnection(m_bus);
    m_callerWatcher.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    qDBusRegisterMetaType<QList<QVariantMap>>();
    connect(&m_callerWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& name) {
                m_callers.remove(name);
                m_callerWatcher.removeWatchedService(name);
            });
}

TunnelService::~TunnelService() {
    shutdown();
}

QString TunnelService::key(uid_t uid, const QString& id) {
    return QString::number(uid) + u'-' + id;
}

void TunnelService::shutdown() {
    if (!m_sessions.isEmpty()) {
        QEventLoop loop;
        QTimer::singleShot(m_timing.stopBound, &loop, &QEventLoop::quit);
        for (TunnelSession* session : std::as_const(m_sessions)) {
            connect(session, &TunnelSession::ended, &loop, [this, &loop] {
                if (m_sessions.isEmpty())
                    loop.quit();
            });
            session->stop(u"the service is stopping"_s);
        }
        if (!m_sessions.isEmpty())
            loop.exec();
    }
    const auto sessions = std::exchange(m_sessions, {});
    for (TunnelSession* session : sessions) {
        session->disconnect(this);
        session->kill();
        delete session;
    }
}

void TunnelService::reassertAll(const QString& why) {
    for (TunnelSession* session : std::as_const(m_sessions))
        session->reassert(why);
}

// ---- calls -------------------------------------------------------------------

void TunnelService::serve(Handler handler) {
    setDelayedReply(true);
    run(message(), handler);
}

QCoro::Task<std::optional<uid_t>> TunnelService::callerUid(QString busName) {
    if (const auto it = m_callers.constFind(busName); it != m_callers.cend())
        co_return *it;
    QDBusMessage ask =
        QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                       u"org.freedesktop.DBus"_s, u"GetConnectionUnixUser"_s);
    ask << busName;
    QDBusPendingCall pending = m_bus.asyncCall(ask, 5000);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        co_return std::nullopt;
    const uid_t uid = reply.arguments().first().toUInt();
    // Unique names are never reused: the answer holds until the caller leaves.
    m_callers.insert(busName, uid);
    m_callerWatcher.addWatchedService(busName);
    co_return uid;
}

QCoro::Task<std::optional<uid_t>> TunnelService::identify(QDBusMessage call) {
    QCoro::Task<std::optional<uid_t>> asking = callerUid(call.service());
    const std::optional<uid_t> uid = co_await asking;
    if (!uid)
        m_bus.send(call.createErrorReply(QDBusError::AccessDenied,
                                         u"The caller's user could not be determined."_s));
    co_return uid;
}

QCoro::Task<void> TunnelService::run(QDBusMessage call, Handler handler) {
    QCoro::Task<std::optional<uid_t>> asking = identify(call);
    const std::optional<uid_t> uid = co_await asking;
    if (!uid)
        co_return;
    // In session mode the service is one user's own.
    if (m_mode == Mode::session && *uid != ::getuid()) {
        m_bus.send(call.createErrorReply(QDBusError::AccessDenied,
                                         u"This tunnel service belongs to another user."_s));
        co_return;
    }
    m_bus.send((this->*handler)(call, *uid));
}

QList<QVariantMap> TunnelService::LoadAll() {
    serve(&TunnelService::doLoadAll);
    return {};
}
QString TunnelService::Save(const QVariantMap&) {
    serve(&TunnelService::doSave);
    return {};
}
QVariantMap TunnelService::Load(const QString&) {
    serve(&TunnelService::doLoad);
    return {};
}
void TunnelService::Remove(const QString&) {
    serve(&TunnelService::doRemove);
}
void TunnelService::Start(const QString&) {
    serve(&TunnelService::doStart);
}
void TunnelService::Stop(const QString&) {
    serve(&TunnelService::doStop);
}
QString TunnelService::Status(const QString&) {
    serve(&TunnelService::doStatus);
    return {};
}
QString TunnelService::RequestApproval(bool interactive) {
    setDelayedReply(true);
    runApproval(message(), interactive);
    return {};
}

// ---- what each call does -------------------------------------------------------

QDBusMessage TunnelService::doLoadAll(const QDBusMessage& call, uid_t uid) {
    QList<QVariantMap> profiles;
    for (const TunnelProfile& profile : m_store.loadAll(uid)) {
        QVariantMap map = TunnelProfileCoding::toBus(profile);
        map.insert(Api::Key::status, vpnStatusText(statusOf(uid, profile.id)));
        profiles << map;
    }
    return call.createReply(QVariant::fromValue(profiles));
}

QDBusMessage TunnelService::doSave(const QDBusMessage& call, uid_t uid) {
    if (m_mode == Mode::system && !m_authorization.isApproved(uid))
        return call.createErrorReply(QString(Api::Error::notAuthorized),
                                     u"This user is not approved to use the Halvoran tunnel "
                                     u"service yet."_s);
    QString error;
    std::optional<TunnelProfile> profile =
        TunnelProfileCoding::fromBus(mapArgument(call.arguments().value(0)), &error);
    if (!profile) {
        qCInfo(ServiceLog::tunneld, "uid %u: profile refused: %s", uid, qUtf8Printable(error));
        return call.createErrorReply(QString(Api::Error::invalidArgs),
                                     u"Invalid VPN profile: "_s + error);
    }
    const bool isNew = profile->id.isEmpty();
    if (isNew)
        profile->id = TunnelProfileCoding::newId();
    else if (!m_store.load(uid, profile->id))
        return notFound(call);
    if (!m_store.save(uid, *profile, &error)) {
        qCCritical(ServiceLog::tunneld, "uid %u: cannot save profile %s: %s", uid,
                   qUtf8Printable(profile->id), qUtf8Printable(error));
        return call.createErrorReply(QString(Api::Error::failed),
                                     u"The VPN profile could not be saved: "_s + error);
    }
    qCInfo(ServiceLog::tunneld, "uid %u: profile %s %s", uid, qUtf8Printable(profile->id),
           isNew ? "created" : "saved");
    if (isNew)
        announce(uid, profile->id, VpnStatus::disconnected);
    return call.createReply(profile->id);
}

QDBusMessage TunnelService::doLoad(const QDBusMessage& call, uid_t uid) {
    const std::optional<TunnelProfile> profile =
        m_store.load(uid, call.arguments().value(0).toString());
    if (!profile)
        return notFound(call);
    QVariantMap map = TunnelProfileCoding::toBus(*profile);
    map.insert(Api::Key::status, vpnStatusText(statusOf(uid, profile->id)));
    return call.createReply(map);
}

QDBusMessage TunnelService::doRemove(const QDBusMessage& call, uid_t uid) {
    const QString id = call.arguments().value(0).toString();
    if (!m_store.load(uid, id))
        return notFound(call);
    if (TunnelSession* session = m_sessions.value(key(uid, id)))
        session->stop(u"profile removed"_s);
    if (!m_store.remove(uid, id))
        return call.createErrorReply(QString(Api::Error::failed),
                                     u"The VPN profile could not be removed."_s);
    qCInfo(ServiceLog::tunneld, "uid %u: profile %s removed", uid, qUtf8Printable(id));
    announce(uid, id, VpnStatus::invalid);
    return call.createReply();
}

QDBusMessage TunnelService::doStart(const QDBusMessage& call, uid_t uid) {
    const QString id = call.arguments().value(0).toString();
    const std::optional<TunnelProfile> profile = m_store.load(uid, id);
    if (!profile)
        return notFound(call);
    const auto refuse = [&](const QString& why) {
        qCCritical(ServiceLog::tunneld, "uid %u: start of %s refused: %s", uid, qUtf8Printable(id),
                   qUtf8Printable(why));
        return call.createErrorReply(QString(Api::Error::failed), why);
    };
    if (m_mode == Mode::system && !m_authorization.isApproved(uid))
        return call.createErrorReply(QString(Api::Error::notAuthorized),
                                     u"This user is not approved to use the Halvoran tunnel "
                                     u"service yet."_s);
    if (!profile->enabled)
        return refuse(u"The VPN profile is disabled."_s);
    if (!profile->protocol)
        return refuse(u"The VPN profile has no tunnel provider."_s);
    QString error;
    const QString program =
        ProviderLaunch::providerProgram(profile->protocol->providerBundleIdentifier, &error);
    if (program.isEmpty())
        return refuse(u"Cannot start the tunnel: "_s + error + u'.');
    std::optional<ProviderLaunch> launch = m_mode == Mode::system
                                               ? ProviderLaunch::asUser(program, uid, &error)
                                               : std::optional(ProviderLaunch::asSelf(program));
    if (!launch)
        return refuse(u"Cannot start the tunnel: "_s + error + u'.');
    const QByteArray configuration =
        QJsonDocument(profile->protocol->providerConfiguration).toJson(QJsonDocument::Compact);
    sessionFor(uid, id)->start(std::move(*launch), configuration, secretsOf(*profile->protocol));
    return call.createReply();
}

QDBusMessage TunnelService::doStop(const QDBusMessage& call, uid_t uid) {
    const QString id = call.arguments().value(0).toString();
    if (!m_store.load(uid, id))
        return notFound(call);
    if (TunnelSession* session = m_sessions.value(key(uid, id)))
        session->stop(u"asked to"_s);
    return call.createReply();
}

QDBusMessage TunnelService::doStatus(const QDBusMessage& call, uid_t uid) {
    const QString id = call.arguments().value(0).toString();
    if (!m_store.load(uid, id))
        return notFound(call);
    return call.createReply(vpnStatusText(statusOf(uid, id)));
}

QCoro::Task<void> TunnelService::runApproval(QDBusMessage call, bool interactive) {
    QCoro::Task<std::optional<uid_t>> asking = identify(call);
    const std::optional<uid_t> uid = co_await asking;
    if (!uid)
        co_return;
    if (m_mode == Mode::session) {
        m_bus.send(call.createReply(*uid == ::getuid() ? QString(Api::approved)
                                                       : QString(Api::needsApproval)));
        co_return;
    }
    try {
        QCoro::Task<Authorization::Answer> checking =
            m_authorization.request(*uid, call.service(), interactive);
        const Authorization::Answer answer = co_await checking;
        m_bus.send(call.createReply(answer == Authorization::Answer::approved
                                        ? QString(Api::approved)
                                        : QString(Api::needsApproval)));
    } catch (const Authorization::Failure& failure) {
        m_bus.send(call.createErrorReply(QString(Api::Error::failed), failure.message));
    }
}

// ---- tunnels -------------------------------------------------------------------

VpnStatus TunnelService::statusOf(uid_t uid, const QString& id) const {
    const TunnelSession* session = m_sessions.value(key(uid, id));
    return session ? session->status() : VpnStatus::disconnected;
}

TunnelSession* TunnelService::sessionFor(uid_t uid, const QString& id) {
    const QString name = key(uid, id);
    if (TunnelSession* session = m_sessions.value(name))
        return session;
    auto* session = new TunnelSession(name, m_timing, m_records, this);
    m_sessions.insert(name, session);
    connect(session, &TunnelSession::statusChanged, this, [this, uid, id](VpnStatus status) {
        // A removed profile was already announced invalid; its tunnel
        // winding down afterwards is nobody's business.
        if (m_store.load(uid, id))
            announce(uid, id, status);
    });
    connect(session, &TunnelSession::ended, this, [this, name, session] {
        if (m_sessions.value(name) == session)
            m_sessions.remove(name);
        session->deleteLater();
    });
    return session;
}

void TunnelService::announce(uid_t uid, const QString& id, VpnStatus status) {
    for (auto it = m_callers.cbegin(); it != m_callers.cend(); ++it) {
        if (it.value() != uid)
            continue;
        QDBusMessage signal = QDBusMessage::createTargetedSignal(
            it.key(), QString(Api::objectPath), QString(Api::interfaceName), u"StatusChanged"_s);
        signal << id << vpnStatusText(status);
        m_bus.send(signal);
    }
}
