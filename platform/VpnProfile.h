#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

// The system's VPN profiles of this app and their tunnels. Every call that
// reaches the operating system is a coroutine; a failure is thrown as a
// PlatformError with the system's own description.

// Where a profile's tunnel stands, as the system reports it.
enum class VpnStatus { invalid, disconnected, connecting, connected, reasserting, disconnecting };

// The status as text ("connected", ...) and back, by exact match; the Linux
// tunnel service reports statuses this way.
QString vpnStatusText(VpnStatus status);
std::optional<VpnStatus> vpnStatusFromText(QStringView text);

// How a profile reaches its tunnel: through the provider named by the bundle
// identifier, which finds its settings in `providerConfiguration`.
struct TunnelProviderProtocol {
    QString providerBundleIdentifier;
    QString serverAddress;
    QVariantMap providerConfiguration;

    friend bool operator==(const TunnelProviderProtocol&, const TunnelProviderProtocol&) = default;
};

// The tunnel of one profile. `status` is the last status the system reported;
// each change is announced through VpnStatusNotifier.
class VpnConnection {
public:
    virtual ~VpnConnection();
    virtual VpnStatus status() const = 0;
    // Asks the system to bring the tunnel up, with no options. Throws when the
    // system refuses at once; later trouble shows as a return to disconnected.
    virtual QCoro::Task<void> startTunnel() = 0;
    // Asks the system to bring the tunnel down. Reports nothing: the status
    // says what happened.
    virtual QCoro::Task<void> stopTunnel() = 0;
};

// One VPN profile as this process holds it: editing the fields changes only
// this object until it is saved.
class VpnProfile {
public:
    virtual ~VpnProfile();

    const QString& localizedDescription() const { return m_description; }
    void setLocalizedDescription(const QString& description) { m_description = description; }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }
    // Absent when the profile has no tunnel-provider protocol.
    const std::optional<TunnelProviderProtocol>& protocolConfiguration() const {
        return m_protocol;
    }
    void setProtocolConfiguration(std::optional<TunnelProviderProtocol> protocol) {
        m_protocol = std::move(protocol);
    }

    virtual VpnConnection& connection() = 0;
    // Writes the fields to the system (which may ask the user first).
    virtual QCoro::Task<void> saveToPreferences() = 0;
    // Replaces the fields with what the system holds.
    virtual QCoro::Task<void> loadFromPreferences() = 0;
    virtual QCoro::Task<void> removeFromPreferences() = 0;

protected:
    QString m_description;
    bool m_enabled = false;
    std::optional<TunnelProviderProtocol> m_protocol;
};

// Announces that some profile's tunnel status changed, whichever profile it
// was: one object for the whole process, handed out by the profile store.
class VpnStatusNotifier final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
Q_SIGNALS:
    void statusChanged();
};

// The system's store of this app's VPN profiles.
class VpnProfileStore {
public:
    virtual ~VpnProfileStore();
    // Every profile of this app, as saved.
    virtual QCoro::Task<QList<std::shared_ptr<VpnProfile>>> loadAllFromPreferences() = 0;
    // A new profile, not yet saved, with an invalid connection.
    virtual std::shared_ptr<VpnProfile> createProfile() = 0;
    virtual VpnStatusNotifier& statusNotifier() = 0;
};
