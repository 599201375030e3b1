#pragma once

#include "app/core/ConnectionState.h"
#include "app/core/SystemExtensionInstaller.h"
#include "shared/health/HealthMonitor.h"
#include "shared/model/SubscriptionMetadata.h"
#include "shared/settings/SharedDefaults.h"

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class APIClient;
class Cancellation;
class Clock;
class HttpSession;
class NetworkAccessFactory;
class VpnProfile;
class VpnProfileStore;

// The app's single source of truth about the VPN: it owns the app's VPN
// profile, the extension installer and the health monitor, derives the
// connection state from them and from the stored subscription, and runs the
// operations the screens and the menu call. Lives on the main thread; its
// operations suspend at network and system waits and re-read what they need
// after each one, since others may have run meanwhile.
class TunnelController final : public QObject {
    Q_OBJECT
    Q_PROPERTY(ConnectionState state READ state NOTIFY stateChanged)
    Q_PROPERTY(std::optional<SubscriptionMetadata> metadata READ metadata NOTIFY metadataChanged)
    Q_PROPERTY(std::optional<QString> activationNotice READ activationNotice NOTIFY
                   activationNoticeChanged)
    Q_PROPERTY(std::optional<QString> preferredEdgeTag READ preferredEdgeTag NOTIFY
                   preferredEdgeTagChanged)
    Q_PROPERTY(HealthMonitor* health READ health CONSTANT)
    Q_PROPERTY(SystemExtensionInstaller* sysext READ sysext CONSTANT)
public:
    // The platform's profile store and extension service, the service client,
    // the clock of the polls and pauses, and the network factory of the
    // rule-set downloads and the health probes; `healthProbes` are the health
    // monitor's reference services.
    TunnelController(VpnProfileStore& profiles, ExtensionManager& extensions, APIClient& api,
                     std::shared_ptr<Clock> clock, const NetworkAccessFactory& network,
                     QHash<QString, QUrl> healthProbes = HealthProbe::probesByRuleset(),
                     QObject* parent = nullptr);
    ~TunnelController() override;

    const ConnectionState& state() const { return m_state; }
    const std::optional<SubscriptionMetadata>& metadata() const { return m_metadata; }
    const std::optional<QString>& activationNotice() const { return m_activationNotice; }
    const std::optional<QString>& preferredEdgeTag() const { return m_preferredEdgeTag; }
    HealthMonitor* health() const { return m_health; }
    SystemExtensionInstaller* sysext() const { return m_sysext; }

    // Trades the code for a subscription and sets it up, or parks the code
    // until the extension is installed; does nothing while an exchange is in
    // flight. Reports through `state`, and a failure on a device without a
    // subscription through `activationNotice`, with the state notActivated.
    QCoro::Task<void> activate(QString code);
    // Saves the app's VPN profile for the subscription unless it is in place.
    // Throws the platform's error when the profile cannot be saved or reloaded.
    QCoro::Task<void> installProfile(QString subscriptionURL);
    QCoro::Task<void> connect();
    QCoro::Task<void> disconnect();
    // Fetches the subscription's metadata; without `force` only when the held
    // one is 30 seconds old. A withdrawn subscription signs the device out.
    QCoro::Task<void> refreshMetadata(bool force);
    // Downloads every rule-set again and restarts a running tunnel.
    QCoro::Task<void> reloadRulesets();
    // Stores the mode at once; a running tunnel restarts to apply it, unless
    // the device signs out before it would start again.
    QCoro::Task<void> setRoutingMode(SharedDefaults::RoutingMode mode);
    QCoro::Task<void> signOut();

    // Derives `state` from the extension, the stored token and the tunnel.
    void recomputeState();

Q_SIGNALS:
    void stateChanged();
    void metadataChanged();
    void activationNoticeChanged();
    void preferredEdgeTagChanged();
    void routingModeChanged();

private:
    // Thrown by installProfile when the device was signed out while the
    // profile was being saved: the profile is removed again, the caller ends.
    struct SignedOutMeanwhile {};

    void setState(ConnectionState state);
    void setMetadata(std::optional<SubscriptionMetadata> metadata);
    void setActivationNotice(std::optional<QString> notice);
    void setPreferredEdgeTag(std::optional<QString> tag);

    QCoro::Task<void> bootstrap();
    void startPolling();
    static QCoro::Task<void> pollLoop(QPointer<TunnelController> self,
                                      std::shared_ptr<Cancellation> cancellation,
                                      std::shared_ptr<Clock> clock);
    void recompute(bool closingActivation);
    void syncHealthMonitor();
    void handleExtensionStatus(const SystemExtensionInstaller::Status& status);
    // A subscription token is stored.
    static bool hasSubscription();
    // Removes `profile` from the system; a failure is logged, never thrown.
    static QCoro::Task<void> removeLogged(std::shared_ptr<VpnProfile> profile);
    void failActivation(const QString& message);
    QCoro::Task<void> removeStrayProfiles();
    // Stops the tunnel and, after the pause, starts it again, unless the
    // subscription of `epoch` is gone by then.
    QCoro::Task<void> restartTunnel(quint64 epoch);

    // Whether work that began under subscription `epoch` must stop: the device
    // signed out, or another subscription was stored, since it began.
    bool isStale(quint64 epoch) const {
        return epoch != m_subscriptionEpoch || m_signOutsRunning > 0;
    }

    ConnectionState m_state;
    std::optional<SubscriptionMetadata> m_metadata;
    std::optional<QString> m_activationNotice;
    std::optional<QString> m_preferredEdgeTag;
    HealthMonitor* m_health;
    std::shared_ptr<VpnProfile> m_manager;
    // The app's other profiles found at start-up, to be removed.
    QList<std::shared_ptr<VpnProfile>> m_strayProfiles;
    std::shared_ptr<Cancellation> m_pollTask;
    SystemExtensionInstaller::Status m_sysextStatus;
    std::optional<QString> m_pendingActivationCode;
    SystemExtensionInstaller* m_sysext;

    VpnProfileStore& m_profiles;
    APIClient& m_api;
    std::shared_ptr<Clock> m_clock;
    // Rule-set downloads, on the controller's clock; shared with downloads in flight.
    std::shared_ptr<HttpSession> m_downloads;
    // Counts stored subscriptions: raised by each sign-out and by each
    // activation that stores its subscription.
    quint64 m_subscriptionEpoch = 0;
    int m_signOutsRunning = 0;
    // An activation is exchanging its code or setting up what it got.
    bool m_exchanging = false;
};
