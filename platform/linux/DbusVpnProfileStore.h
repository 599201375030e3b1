#pragma once

#include "platform/VpnProfile.h"
#include "platform/linux/TunnelServiceBus.h"

#include <chrono>
#include <memory>

// The app's VPN profiles as halvoran-tunneld keeps them, reached over D-Bus.
// Every call is asynchronous and bounded; failures are PlatformErrors with
// readable descriptions. Statuses come from the service's StatusChanged
// signal; when the service goes away its tunnels went with it (disconnected),
// and when it comes back the statuses are read afresh. Main thread only.
class DbusVpnProfileStore final : public VpnProfileStore {
public:
    explicit DbusVpnProfileStore(TunnelServiceBus bus,
                                 std::chrono::milliseconds callBound = std::chrono::seconds(10));
    ~DbusVpnProfileStore() override;

    QCoro::Task<QList<std::shared_ptr<VpnProfile>>> loadAllFromPreferences() override;
    std::shared_ptr<VpnProfile> createProfile() override;
    VpnStatusNotifier& statusNotifier() override;

    class Client;

private:
    std::shared_ptr<Client> m_client;
};
