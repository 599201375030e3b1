#pragma once

#include "platform/PlatformError.h"
#include "platform/VpnProfile.h"

#include <QStringList>

#include <memory>

// A scripted stand-in for the system's VPN profile store, its profiles and
// their tunnels. Every call is recorded in order; any kind of call can be made
// to fail or to wait until the test lets it go; tunnel statuses change only
// when the test steps them. Unscripted calls succeed at once.
class FakeVpnProfileStore final : public VpnProfileStore {
public:
    enum class Call { loadAll, save, load, remove, start, stop };
    // A profile as the fake system keeps it.
    struct Saved {
        QString description;
        bool enabled = false;
        std::optional<TunnelProviderProtocol> protocol;
        friend bool operator==(const Saved&, const Saved&) = default;
    };

    FakeVpnProfileStore();
    ~FakeVpnProfileStore() override;

    QCoro::Task<QList<std::shared_ptr<VpnProfile>>> loadAllFromPreferences() override;
    std::shared_ptr<VpnProfile> createProfile() override;
    VpnStatusNotifier& statusNotifier() override;

    // The next call of this kind throws `error` (after any hold).
    void failNext(Call call, PlatformError error);
    // Calls of this kind wait from now on, until released; release() resumes
    // the waiting ones, in order, inside itself.
    void hold(Call call);
    void release(Call call);
    int waiting(Call call) const;

    // A profile the system already holds, as if saved by an earlier run.
    void addSavedProfile(Saved profile, VpnStatus status = VpnStatus::disconnected);
    QList<Saved> savedProfiles() const;
    // The tunnel status of the i-th saved profile; setting it announces it.
    VpnStatus status(int index = 0) const;
    void setStatus(VpnStatus status, int index = 0);

    // Every call so far: "loadAll", "save", "load", "remove", "start", "stop".
    QStringList calls() const;
    void clearCalls();

    struct System;

private:
    std::shared_ptr<System> m_system;
};
