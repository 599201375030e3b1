#include "platform/linux/DbusVpnProfileStore.h"

#include "TunnelServiceProxy.h" // generated from the interface file
#include "shared/async/Detached.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QPointer>

using namespace Qt::StringLiterals;
namespace Api = TunnelServiceApi;
namespace Key = TunnelServiceApi::Key;

namespace {

PlatformError invalidConfiguration() {
    return PlatformError(QString(TunnelServiceBus::errorDomain), TunnelServiceBus::notFound,
                         u"The VPN configuration is invalid."_s);
}

QVariantMap mapOf(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

} // namespace

class DbusVpnConnection;

// What the store's profiles and connections share: the bus, the notifier,
// and one connection object per saved profile, so that every profile object
// of an id sees the same status.
class DbusVpnProfileStore::Client final : public QObject,
                                          public std::enable_shared_from_this<Client> {
    Q_OBJECT
public:
    Client(TunnelServiceBus bus, std::chrono::milliseconds bound);

    // Waits for a call of `service`, bounded; throws a PlatformError.
    QCoro::Task<QDBusMessage> wait(QDBusPendingCall pending) const {
        return bus.wait(std::move(pending));
    }
    std::shared_ptr<DbusVpnConnection> connectionFor(const QString& id);
    void registerConnection(const QString& id,
                            const std::shared_ptr<DbusVpnConnection>& connection);
    void setStatus(const QString& id, VpnStatus status);

    TunnelServiceBus bus;
    std::unique_ptr<DevMorvelVpnTunnel1Interface> service;
    VpnStatusNotifier notifier;

private Q_SLOTS:
    void statusChanged(const QString& id, const QString& status);

private:
    void serviceGone();
    static QCoro::Task<void> refresh(QPointer<Client> self);

    QHash<QString, std::weak_ptr<DbusVpnConnection>> m_connections;
    QDBusServiceWatcher m_watcher;
};

class DbusVpnConnection final : public VpnConnection {
public:
    explicit DbusVpnConnection(std::shared_ptr<DbusVpnProfileStore::Client> client, QString id = {})
        : m_client(std::move(client))
        , m_id(std::move(id)) {}

    const QString& id() const { return m_id; }
    void setId(QString id) { m_id = std::move(id); }

    VpnStatus status() const override { return m_status; }
    // True when it changed.
    bool setStatus(VpnStatus status) { return std::exchange(m_status, status) != status; }

    QCoro::Task<void> startTunnel() override {
        if (m_id.isEmpty())
            throw invalidConfiguration();
        QCoro::Task<QDBusMessage> calling = m_client->wait(m_client->service->Start(m_id));
        co_await calling;
    }

    QCoro::Task<void> stopTunnel() override {
        if (m_id.isEmpty())
            co_return;
        QCoro::Task<QDBusMessage> calling = m_client->wait(m_client->service->Stop(m_id));
        try {
            co_await calling;
        } catch (const PlatformError&) {
            // Stopping reports nothing; the status tells.
        }
    }

private:
    std::shared_ptr<DbusVpnProfileStore::Client> m_client;
    QString m_id;
    VpnStatus m_status = VpnStatus::invalid;
};

class DbusVpnProfile final : public VpnProfile {
public:
    DbusVpnProfile(std::shared_ptr<DbusVpnProfileStore::Client> client,
                   std::shared_ptr<DbusVpnConnection> connection)
        : m_client(std::move(client))
        , m_connection(std::move(connection)) {}

    // Takes the fields of the service's a{sv}; the status goes to the connection.
    void assign(const QVariantMap& map) {
        m_description = map.value(Key::localizedDescription).toString();
        m_enabled = map.value(Key::enabled).toBool();
        if (map.contains(Key::providerBundleIdentifier)) {
            m_protocol = TunnelProviderProtocol{
                map.value(Key::providerBundleIdentifier).toString(),
                map.value(Key::serverAddress).toString(),
                mapOf(map.value(Key::providerConfiguration)),
            };
        } else {
            m_protocol.reset();
        }
    }

    QVariantMap toMap() const {
        QVariantMap map{{Key::localizedDescription, m_description}, {Key::enabled, m_enabled}};
        if (!m_connection->id().isEmpty())
            map.insert(Key::id, m_connection->id());
        if (m_protocol) {
            map.insert(Key::providerBundleIdentifier, m_protocol->providerBundleIdentifier);
            map.insert(Key::serverAddress, m_protocol->serverAddress);
            map.insert(Key::providerConfiguration, m_protocol->providerConfiguration);
        }
        return map;
    }

    VpnConnection& connection() override { return *m_connection; }

    QCoro::Task<void> saveToPreferences() override {
        auto client = m_client;
        auto connection = m_connection;
        QCoro::Task<QDBusMessage> calling = client->wait(client->service->Save(toMap()));
        const QDBusMessage reply = co_await calling;
        if (connection->id().isEmpty()) {
            const QString id = reply.arguments().value(0).toString();
            connection->setId(id);
            client->registerConnection(id, connection);
            client->setStatus(id, VpnStatus::disconnected);
        }
    }

    QCoro::Task<void> loadFromPreferences() override {
        auto client = m_client;
        auto connection = m_connection;
        if (connection->id().isEmpty())
            throw invalidConfiguration();
        QCoro::Task<QDBusMessage> calling = client->wait(client->service->Load(connection->id()));
        const QDBusMessage reply = co_await calling;
        const QVariantMap map = mapOf(reply.arguments().value(0));
        assign(map);
        if (const auto status = vpnStatusFromText(map.value(Key::status).toString()))
            client->setStatus(connection->id(), *status);
    }

    QCoro::Task<void> removeFromPreferences() override {
        auto client = m_client;
        auto connection = m_connection;
        if (connection->id().isEmpty())
            co_return;
        QCoro::Task<QDBusMessage> calling = client->wait(client->service->Remove(connection->id()));
        co_await calling;
        client->setStatus(connection->id(), VpnStatus::invalid);
    }

private:
    std::shared_ptr<DbusVpnProfileStore::Client> m_client;
    std::shared_ptr<DbusVpnConnection> m_connection;
};

DbusVpnProfileStore::Client::Client(TunnelServiceBus serviceBus,
                                    std::chrono::milliseconds callBound)
    : bus(std::move(serviceBus))
    , service(bus.proxy(callBound))
    , m_watcher(QString(Api::busName), bus.connection, QDBusServiceWatcher::WatchForOwnerChange) {
    bus.connection.connect(QString(Api::busName), QString(Api::objectPath),
                           QString(Api::interfaceName), u"StatusChanged"_s, this,
                           SLOT(statusChanged(QString, QString)));
    QObject::connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                     [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                         if (!oldOwner.isEmpty())
                             serviceGone();
                         if (!newOwner.isEmpty())
                             Detached::start(refresh(this), this, Log::tunnel);
                     });
}

std::shared_ptr<DbusVpnConnection> DbusVpnProfileStore::Client::connectionFor(const QString& id) {
    if (auto existing = m_connections.value(id).lock())
        return existing;
    auto connection = std::make_shared<DbusVpnConnection>(shared_from_this(), id);
    m_connections.insert(id, connection);
    return connection;
}

void DbusVpnProfileStore::Client::registerConnection(
    const QString& id, const std::shared_ptr<DbusVpnConnection>& connection) {
    m_connections.insert(id, connection);
}

void DbusVpnProfileStore::Client::setStatus(const QString& id, VpnStatus status) {
    const auto connection = m_connections.value(id).lock();
    if (connection && connection->setStatus(status))
        Q_EMIT notifier.statusChanged();
}

void DbusVpnProfileStore::Client::statusChanged(const QString& id, const QString& status) {
    if (const std::optional<VpnStatus> parsed = vpnStatusFromText(status))
        setStatus(id, *parsed);
}

// The service's tunnels end with it (it stops them, or its providers die with
// it): whatever they were, they are down now.
void DbusVpnProfileStore::Client::serviceGone() {
    bool changed = false;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        const auto connection = it.value().lock();
        if (connection && connection->status() != VpnStatus::invalid)
            changed |= connection->setStatus(VpnStatus::disconnected);
    }
    if (changed)
        Q_EMIT notifier.statusChanged();
}

// A service that came back knows better than we do: read every status again.
QCoro::Task<void> DbusVpnProfileStore::Client::refresh(QPointer<Client> self) {
    QDBusMessage reply;
    try {
        QCoro::Task<QDBusMessage> calling = self->wait(self->service->LoadAll());
        reply = co_await calling;
    } catch (const PlatformError&) {
        co_return;
    }
    if (!self)
        co_return;
    QHash<QString, VpnStatus> statuses;
    const auto profiles =
        qdbus_cast<QList<QVariantMap>>(reply.arguments().value(0).value<QDBusArgument>());
    for (const QVariantMap& profile : profiles)
        statuses.insert(profile.value(Key::id).toString(),
                        vpnStatusFromText(profile.value(Key::status).toString())
                            .value_or(VpnStatus::disconnected));
    bool changed = false;
    for (auto it = self->m_connections.begin(); it != self->m_connections.end(); ++it)
        if (const auto connection = it.value().lock())
            changed |= connection->setStatus(statuses.value(it.key(), VpnStatus::invalid));
    if (changed)
        Q_EMIT self->notifier.statusChanged();
}

DbusVpnProfileStore::DbusVpnProfileStore(TunnelServiceBus bus, std::chrono::milliseconds callBound)
    : m_client(std::make_shared<Client>(std::move(bus), callBound)) {
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

DbusVpnProfileStore::~DbusVpnProfileStore() = default;

QCoro::Task<QList<std::shared_ptr<VpnProfile>>> DbusVpnProfileStore::loadAllFromPreferences() {
    auto client = m_client;
    QCoro::Task<QDBusMessage> calling = client->wait(client->service->LoadAll());
    const QDBusMessage reply = co_await calling;
    const auto maps =
        qdbus_cast<QList<QVariantMap>>(reply.arguments().value(0).value<QDBusArgument>());
    QList<std::shared_ptr<VpnProfile>> profiles;
    for (const QVariantMap& map : maps) {
        const QString id = map.value(Key::id).toString();
        if (id.isEmpty())
            continue;
        auto connection = client->connectionFor(id);
        auto profile = std::make_shared<DbusVpnProfile>(client, connection);
        profile->assign(map);
        client->setStatus(
            id,
            vpnStatusFromText(map.value(Key::status).toString()).value_or(VpnStatus::disconnected));
        profiles << profile;
    }
    co_return profiles;
}

std::shared_ptr<VpnProfile> DbusVpnProfileStore::createProfile() {
    return std::make_shared<DbusVpnProfile>(m_client,
                                            std::make_shared<DbusVpnConnection>(m_client));
}

VpnStatusNotifier& DbusVpnProfileStore::statusNotifier() {
    return m_client->notifier;
}

#include "DbusVpnProfileStore.moc"
