#include "service/tunneld/TunnelService.h"

#include "service/tunneld/Authorization.h"
#include "service/tunneld/Firewall.h"
#include "service/tunneld/ProfileStore.h"
#include "service/tunneld/ServiceLog.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <qcoro/qcorodbuspendingcall.h>

#include <pwd.h>
#include <unistd.h>
#include <vector>

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

QDBusMessage notApproved(const QDBusMessage& call) {
    return call.createErrorReply(QString(Api::Error::notAuthorized),
                                 u"This user is not approved to use the Halvoran tunnel "
                                 u"service yet."_s);
}

QDBusMessage failed(const QDBusMessage& call, const QString& why) {
    return call.createErrorReply(QString(Api::Error::failed), why);
}

QDBusMessage tooMany(const QDBusMessage& call) {
    return failed(call, u"Too many changes at once; try again in a moment."_s);
}

// The account behind `uid` as the system knows it now: its name and home. A
// later account that reuses the uid differs in one of them.
std::optional<QByteArray> accountOf(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return QByteArray(entry.pw_name) + '\n' + QByteArray(entry.pw_dir);
}

// A change budget per user: this many at once, refilled at this rate.
constexpr double budgetBurst = 20;
constexpr double budgetPerSecond = 5;

} // namespace

TunnelService::TunnelService(QDBusConnection bus, Mode mode, TunnelSession::Timing timing,
                             ProfileStore& store, RunningRecords& records,
                             Authorization& authorization, Firewall* firewall, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_mode(mode)
    , m_timing(timing)
    , m_store(store)
    , m_records(records)
    , m_authorization(authorization)
    , m_firewall(firewall) {
    m_callerWatcher.setConnection(m_bus);
    m_callerWatcher.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    qDBusRegisterMetaType<QList<QVariantMap>>();
    connect(&m_callerWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &TunnelService::forgetCaller);
}

TunnelService::~TunnelService() {
    const auto sessions = std::exchange(m_sessions, {});
    for (TunnelSession* session : sessions) {
        session->disconnect(this);
        session->kill();
        delete session;
    }
}

QString TunnelService::key(uid_t uid, const QString& id) {
    return QString::number(uid) + u'-' + id;
}

uid_t TunnelService::uidOf(const QString& key) {
    return key.section(u'-', 0, 0).toUInt();
}

void TunnelService::shutdown() {
    if (m_stopping)
        return;
    m_stopping = true;
    auto signalled = std::make_shared<bool>(false);
    const auto done = [this, signalled] {
        if (!std::exchange(*signalled, true))
            finishShutdown();
    };
    if (m_sessions.isEmpty()) {
        QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
        return;
    }
    // What has not stopped by then is killed when the service goes.
    QTimer::singleShot(m_timing.stopBound, this, done);
    for (TunnelSession* session : std::as_const(m_sessions)) {
        connect(session, &TunnelSession::ended, this, [this, done] {
            if (m_sessions.isEmpty())
                done();
        });
        session->stop(u"the service is stopping"_s);
    }
}

QCoro::Task<void> TunnelService::finishShutdown() {
    // The user is never left behind a firewall of a service that is gone.
    if (m_firewall && m_firewall->mayBeUp()) {
        QPointer<TunnelService> self = this;
        QCoro::Task<void> lowering = lowerFirewall(u"the service is stopping"_s);
        co_await lowering;
        if (!self)
            co_return;
    }
    Q_EMIT stopped();
}

void TunnelService::reassertAll(const QString& why) {
    for (TunnelSession* session : std::as_const(m_sessions))
        session->reassert(why);
}

// ---- callers -------------------------------------------------------------------

void TunnelService::serve(Handler handler) {
    setDelayedReply(true);
    run(message(), std::move(handler));
}

QCoro::Task<void> TunnelService::run(QDBusMessage call, Handler handler) {
    QPointer<TunnelService> self = this;
    QCoro::Task<std::optional<uid_t>> asking = callerUid(call.service());
    const std::optional<uid_t> uid = co_await asking;
    if (!self)
        co_return;
    if (!uid) {
        m_bus.send(call.createErrorReply(QDBusError::AccessDenied,
                                         u"The caller's user could not be determined."_s));
        co_return;
    }
    // In session mode the service is one user's own.
    if (m_mode == Mode::session && *uid != ::getuid()) {
        m_bus.send(call.createErrorReply(QDBusError::AccessDenied,
                                         u"This tunnel service belongs to another user."_s));
        co_return;
    }
    QDBusMessage reply;
    try {
        QCoro::Task<QDBusMessage> handling = handler(*uid);
        reply = co_await handling;
    } catch (const std::exception& error) {
        qCCritical(ServiceLog::tunneld, "uid %u: %s failed: %s", *uid,
                   qUtf8Printable(call.member()), error.what());
        reply = failed(call, u"The Halvoran tunnel service failed."_s);
    }
    if (self)
        m_bus.send(reply);
}

QCoro::Task<std::optional<uid_t>> TunnelService::callerUid(QString busName) {
    if (const auto it = m_callers.constFind(busName); it != m_callers.cend())
        co_return *it;
    QPointer<TunnelService> self = this;
    QDBusPendingCall pending = askBus(u"GetConnectionUnixUser"_s, busName);
    const QDBusMessage reply = co_await pending;
    if (!self || reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        co_return std::nullopt;
    const uid_t uid = reply.arguments().first().toUInt();
    if (m_mode == Mode::system) {
        // What is kept for a uid belongs to the account that has it now.
        const std::optional<QByteArray> account = accountOf(uid);
        if (!account || !m_store.adoptAccount(uid, *account)) {
            qCCritical(ServiceLog::tunneld, "uid %u: %s", uid,
                       account ? "cannot clear what an earlier account kept"
                               : "not in the user database; refused");
            co_return std::nullopt;
        }
    }
    if (m_callers.contains(busName))
        co_return uid;
    rememberCaller(busName, uid);
    // A caller that left before the watch was in place would never be seen
    // to leave: ask once more, now that its leaving cannot be missed.
    QDBusPendingCall checking = askBus(u"NameHasOwner"_s, busName);
    const QDBusMessage owned = co_await checking;
    if (self && !owned.arguments().value(0).toBool())
        forgetCaller(busName);
    co_return uid;
}

QDBusPendingCall TunnelService::askBus(const QString& method, const QString& busName) const {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus"_s, method);
    ask << busName;
    return m_bus.asyncCall(ask, 5000);
}

void TunnelService::rememberCaller(const QString& busName, uid_t uid) {
    QStringList& names = m_callersByUser[uid];
    if (names.size() >= maxCallersPerUser)
        forgetCaller(names.first());
    m_callers.insert(busName, uid);
    m_callersByUser[uid].append(busName);
    m_callerWatcher.addWatchedService(busName);
}

void TunnelService::forgetCaller(const QString& busName) {
    const auto it = m_callers.constFind(busName);
    if (it == m_callers.cend())
        return;
    const uid_t uid = *it;
    m_callers.erase(it);
    m_callerWatcher.removeWatchedService(busName);
    QStringList& names = m_callersByUser[uid];
    names.removeOne(busName);
    if (names.isEmpty())
        m_callersByUser.remove(uid);
}

std::optional<QDBusMessage> TunnelService::refuseChange(const QDBusMessage& call, uid_t uid,
                                                        const QString& id) {
    if (!m_store.load(uid, id))
        return notFound(call);
    if (!withinBudget(uid))
        return tooMany(call);
    return std::nullopt;
}

bool TunnelService::withinBudget(uid_t uid) {
    Budget& budget = m_budgets[uid];
    if (!budget.since.isValid()) {
        budget.left = budgetBurst;
    } else {
        budget.left =
            std::min(budgetBurst, budget.left + budget.since.elapsed() / 1000.0 * budgetPerSecond);
    }
    budget.since.start();
    if (budget.left < 1)
        return false;
    budget.left -= 1;
    return true;
}

// ---- the calls -------------------------------------------------------------------

QList<QVariantMap> TunnelService::LoadAll() {
    serve([this, call = message()](uid_t uid) { return doLoadAll(call, uid); });
    return {};
}
QString TunnelService::Save(const QVariantMap& profile) {
    serve([this, call = message(), profile](uid_t uid) { return doSave(call, uid, profile); });
    return {};
}
QVariantMap TunnelService::Load(const QString& id) {
    serve([this, call = message(), id](uid_t uid) { return doLoad(call, uid, id); });
    return {};
}
void TunnelService::Remove(const QString& id) {
    serve([this, call = message(), id](uid_t uid) { return doRemove(call, uid, id); });
}
void TunnelService::Start(const QString& id) {
    serve([this, call = message(), id](uid_t uid) { return doStart(call, uid, id); });
}
void TunnelService::Stop(const QString& id) {
    serve([this, call = message(), id](uid_t uid) { return doStop(call, uid, id); });
}
QString TunnelService::Status(const QString& id) {
    serve([this, call = message(), id](uid_t uid) { return doStatus(call, uid, id); });
    return {};
}
QString TunnelService::RequestApproval(bool interactive) {
    serve([this, call = message(), interactive](uid_t uid) {
        return doRequestApproval(call, uid, interactive);
    });
    return {};
}
void TunnelService::RevokeApproval() {
    serve([this, call = message()](uid_t uid) { return doRevokeApproval(call, uid); });
}

// ---- what each call does -------------------------------------------------------

QCoro::Task<QDBusMessage> TunnelService::doLoadAll(QDBusMessage call, uid_t uid) {
    QList<QVariantMap> profiles;
    for (const TunnelProfile& profile : m_store.loadAll(uid)) {
        QVariantMap map = TunnelProfileCoding::toBus(profile);
        map.insert(Api::Key::status, vpnStatusText(statusOf(uid, profile.id)));
        profiles << map;
    }
    co_return call.createReply(QVariant::fromValue(profiles));
}

QCoro::Task<QDBusMessage> TunnelService::doSave(QDBusMessage call, uid_t uid, QVariantMap map) {
    if (m_mode == Mode::system && !m_authorization.isApproved(uid))
        co_return notApproved(call);
    if (!withinBudget(uid))
        co_return tooMany(call);
    QString error;
    std::optional<TunnelProfile> profile = TunnelProfileCoding::fromBus(map, &error);
    if (!profile) {
        qCInfo(ServiceLog::tunneld, "uid %u: profile refused: %s", uid, qUtf8Printable(error));
        co_return call.createErrorReply(QString(Api::Error::invalidArgs),
                                        u"Invalid VPN profile: "_s + error);
    }
    const bool isNew = profile->id.isEmpty();
    if (isNew)
        profile->id = TunnelProfileCoding::newId();
    else if (!m_store.load(uid, profile->id))
        co_return notFound(call);
    if (!m_store.save(uid, *profile, &error)) {
        qCCritical(ServiceLog::tunneld, "uid %u: cannot save profile %s: %s", uid,
                   qUtf8Printable(profile->id), qUtf8Printable(error));
        co_return failed(call, u"The VPN profile could not be saved: "_s + error);
    }
    qCInfo(ServiceLog::tunneld, "uid %u: profile %s %s", uid, qUtf8Printable(profile->id),
           isNew ? "created" : "saved");
    if (isNew)
        announce(uid, profile->id, VpnStatus::disconnected);
    co_return call.createReply(profile->id);
}

QCoro::Task<QDBusMessage> TunnelService::doLoad(QDBusMessage call, uid_t uid, QString id) {
    const std::optional<TunnelProfile> profile = m_store.load(uid, id);
    if (!profile)
        co_return notFound(call);
    QVariantMap map = TunnelProfileCoding::toBus(*profile);
    map.insert(Api::Key::status, vpnStatusText(statusOf(uid, profile->id)));
    co_return call.createReply(map);
}

QCoro::Task<QDBusMessage> TunnelService::doRemove(QDBusMessage call, uid_t uid, QString id) {
    if (std::optional<QDBusMessage> refused = refuseChange(call, uid, id))
        co_return *refused;
    m_launches.remove(key(uid, id));
    if (TunnelSession* session = m_sessions.value(key(uid, id)))
        session->stop(u"profile removed"_s);
    if (!m_store.remove(uid, id))
        co_return failed(call, u"The VPN profile could not be removed."_s);
    qCInfo(ServiceLog::tunneld, "uid %u: profile %s removed", uid, qUtf8Printable(id));
    announce(uid, id, VpnStatus::invalid);
    co_return call.createReply();
}

QCoro::Task<QDBusMessage> TunnelService::doStart(QDBusMessage call, uid_t uid, QString id) {
    if (std::optional<QDBusMessage> refused = refuseChange(call, uid, id))
        co_return *refused;
    if (m_mode == Mode::system) {
        if (!m_authorization.isApproved(uid))
            co_return notApproved(call);
        // Approval is a decision that can change: polkit is asked again.
        QPointer<TunnelService> self = this;
        Authorization::Answer answer = Authorization::Answer::needsApproval;
        try {
            QCoro::Task<Authorization::Answer> checking =
                m_authorization.request(uid, call.service(), false);
            answer = co_await checking;
        } catch (const Authorization::Failure& failure) {
            co_return failed(call, failure.message);
        }
        if (!self)
            co_return call.createErrorReply(QDBusError::Failed, u"stopping"_s);
        if (answer != Authorization::Answer::approved)
            co_return notApproved(call);
        // The profile may have gone while polkit thought.
        if (!m_store.load(uid, id))
            co_return notFound(call);
    }
    QCoro::Task<QDBusMessage> launching = launch(call, uid, id);
    co_return co_await launching;
}

QString TunnelService::refusal(uid_t uid, const TunnelProfile& profile) const {
    if (m_stopping)
        return u"The Halvoran tunnel service is stopping."_s;
    if (!profile.enabled)
        return u"The VPN profile is disabled."_s;
    if (!profile.protocol)
        return u"The VPN profile has no tunnel provider."_s;
    // One interface and one routing table: tunnels of two users would fight
    // over both, and one user's second tunnel would undo the first.
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        if (uidOf(it.key()) != uid)
            return u"Another user's VPN tunnel is running on this computer. Only one can run "
                   u"at a time."_s;
    }
    return {};
}

QDBusMessage TunnelService::refuse(const QDBusMessage& call, uid_t uid, const QString& id,
                                   const QString& why) const {
    qCCritical(ServiceLog::tunneld, "uid %u: start of %s refused: %s", uid, qUtf8Printable(id),
               qUtf8Printable(why));
    return failed(call, why);
}

// The firewall goes up before the provider runs, so nothing leaves while the
// tunnel connects; a start that cannot have it does not start at all.
QCoro::Task<QDBusMessage> TunnelService::launch(QDBusMessage call, uid_t uid, QString id) {
    if (!m_firewall)
        co_return launchNow(call, uid, id);
    if (const QString why = refusal(uid, *m_store.load(uid, id)); !why.isEmpty())
        co_return refuse(call, uid, id, why);
    const QString name = key(uid, id);
    const quint64 ticket = ++m_lastTicket;
    m_launches.insert(name, ticket);
    QPointer<TunnelService> self = this;
    QCoro::Task<QString> raising = m_firewall->raise();
    const QString problem = co_await raising;
    if (!self)
        co_return failed(call, u"The Halvoran tunnel service is stopping."_s);
    const bool withdrawn = m_launches.value(name) != ticket;
    if (!withdrawn)
        m_launches.remove(name);
    lowerWhenIdle(); // unless this start gets its tunnel going below
    if (!problem.isEmpty())
        co_return refuse(call, uid, id,
                         u"The tunnel cannot start without its firewall: "_s + problem + u'.');
    if (!m_store.load(uid, id))
        co_return notFound(call);
    if (withdrawn) {
        qCInfo(ServiceLog::tunneld, "uid %u: start of %s withdrawn before it began", uid,
               qUtf8Printable(id));
        co_return call.createReply();
    }
    qCInfo(ServiceLog::tunneld, "uid %u: firewall up for %s", uid, qUtf8Printable(id));
    co_return launchNow(call, uid, id);
}

QDBusMessage TunnelService::launchNow(const QDBusMessage& call, uid_t uid, const QString& id) {
    const std::optional<TunnelProfile> profile = m_store.load(uid, id);
    if (const QString why = refusal(uid, *profile); !why.isEmpty())
        return refuse(call, uid, id, why);
    TunnelSession* previous = nullptr;
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        if (it.key() != key(uid, id))
            previous = it.value();
    }
    QString error;
    const QString program =
        ProviderLaunch::providerProgram(profile->protocol->providerBundleIdentifier, &error);
    if (program.isEmpty())
        return refuse(call, uid, id, u"Cannot start the tunnel: "_s + error + u'.');
    std::optional<ProviderLaunch> how = m_mode == Mode::system
                                            ? ProviderLaunch::asUser(program, uid, &error)
                                            : std::optional(ProviderLaunch::asSelf(program));
    if (!how)
        return refuse(call, uid, id, u"Cannot start the tunnel: "_s + error + u'.');
    QByteArray configuration =
        QJsonDocument(profile->protocol->providerConfiguration).toJson(QJsonDocument::Compact);
    QStringList secrets = secretsOf(*profile->protocol);
    if (!previous) {
        sessionFor(uid, id)->start(std::move(*how), configuration, secrets);
        return call.createReply();
    }
    qCInfo(ServiceLog::tunneld, "uid %u: %s waits for the user's other tunnel to stop", uid,
           qUtf8Printable(id));
    connect(
        previous, &TunnelSession::ended, this,
        [this, uid, id, how = std::move(*how), configuration, secrets] {
            if (!m_stopping && m_store.load(uid, id))
                sessionFor(uid, id)->start(how, configuration, secrets);
        },
        Qt::SingleShotConnection);
    previous->stop(u"another VPN profile was started"_s);
    return call.createReply();
}

QCoro::Task<QDBusMessage> TunnelService::doStop(QDBusMessage call, uid_t uid, QString id) {
    if (std::optional<QDBusMessage> refused = refuseChange(call, uid, id))
        co_return *refused;
    m_launches.remove(key(uid, id));
    if (TunnelSession* session = m_sessions.value(key(uid, id)))
        session->stop(u"asked to"_s);
    co_return call.createReply();
}

QCoro::Task<QDBusMessage> TunnelService::doStatus(QDBusMessage call, uid_t uid, QString id) {
    if (!m_store.load(uid, id))
        co_return notFound(call);
    co_return call.createReply(vpnStatusText(statusOf(uid, id)));
}

QCoro::Task<QDBusMessage> TunnelService::doRequestApproval(QDBusMessage call, uid_t uid,
                                                           bool interactive) {
    if (m_mode == Mode::session)
        co_return call.createReply(QString(Api::approved));
    if (!withinBudget(uid))
        co_return tooMany(call);
    try {
        QCoro::Task<Authorization::Answer> checking =
            m_authorization.request(uid, call.service(), interactive);
        const Authorization::Answer answer = co_await checking;
        co_return call.createReply(answer == Authorization::Answer::approved
                                       ? QString(Api::approved)
                                       : QString(Api::needsApproval));
    } catch (const Authorization::Failure& failure) {
        co_return failed(call, failure.message);
    }
}

QCoro::Task<QDBusMessage> TunnelService::doRevokeApproval(QDBusMessage call, uid_t uid) {
    if (m_mode == Mode::system) {
        m_launches.removeIf([uid](const auto& launch) { return uidOf(launch.key()) == uid; });
        for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
            if (uidOf(it.key()) == uid)
                it.value()->stop(u"approval revoked"_s);
        }
        m_authorization.revoke(uid);
    }
    co_return call.createReply();
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
        // Ended for good, unless a start waited for it to end (a switch to
        // another profile), which runs by the next turn behind the same rules.
        lowerWhenIdle();
    });
    return session;
}

void TunnelService::lowerWhenIdle() {
    if (!m_firewall)
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_sessions.isEmpty() && m_launches.isEmpty() && m_firewall->mayBeUp())
                lowerFirewall(u"no tunnel runs"_s);
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> TunnelService::lowerFirewall(QString why) {
    QCoro::Task<QString> lowering = m_firewall->lower();
    const QString problem = co_await lowering;
    if (problem.isEmpty())
        qCInfo(ServiceLog::tunneld, "firewall removed (%s)", qUtf8Printable(why));
    else
        qCCritical(ServiceLog::tunneld, "the firewall could not be removed (%s): %s",
                   qUtf8Printable(why), qUtf8Printable(problem));
}

void TunnelService::announce(uid_t uid, const QString& id, VpnStatus status) {
    for (const QString& name : m_callersByUser.value(uid)) {
        QDBusMessage signal = QDBusMessage::createTargetedSignal(
            name, QString(Api::objectPath), QString(Api::interfaceName), u"StatusChanged"_s);
        signal << id << vpnStatusText(status);
        m_bus.send(signal);
    }
}
