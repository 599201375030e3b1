#include "platform/fake/FakeVpnProfile.h"

#include "platform/fake/FakeGate.h"

#include <QHash>
#include <QSet>

using namespace Qt::StringLiterals;
using Call = FakeVpnProfileStore::Call;

namespace {

QString nameOf(Call call) {
    switch (call) {
    case Call::loadAll:
        return u"loadAll"_s;
    case Call::save:
        return u"save"_s;
    case Call::load:
        return u"load"_s;
    case Call::remove:
        return u"remove"_s;
    case Call::start:
        return u"start"_s;
    case Call::stop:
        return u"stop"_s;
    }
    return {};
}

PlatformError invalidConfiguration() {
    return PlatformError(u"VpnErrorDomain"_s, 1, u"The VPN configuration is invalid."_s);
}

} // namespace

class FakeVpnConnection;

struct FakeVpnProfileStore::System {
    struct Entry {
        quint64 id;
        Saved saved;
        std::shared_ptr<FakeVpnConnection> connection;
    };

    VpnStatusNotifier notifier;
    QStringList calls;
    QHash<int, QList<PlatformError>> failures;
    QSet<int> held;
    QHash<int, QList<std::shared_ptr<FakeGate>>> waiters;
    QList<Entry> entries;
    quint64 nextId = 1;

    Entry* entry(quint64 id) {
        for (Entry& e : entries)
            if (e.id == id)
                return &e;
        return nullptr;
    }

    // Records the call, waits while it is held, then fails it if scripted.
    static QCoro::Task<void> enter(std::shared_ptr<System> system, Call call) {
        system->calls << nameOf(call);
        if (system->held.contains(int(call))) {
            auto gate = std::make_shared<FakeGate>();
            system->waiters[int(call)].append(gate);
            QCoro::Task<void> waiting = FakeGate::wait(gate);
            co_await waiting;
        }
        QList<PlatformError>& scripted = system->failures[int(call)];
        if (!scripted.isEmpty())
            throw scripted.takeFirst();
    }
};

// Holds the system weakly: the system keeps the connections of its saved
// profiles, and a strong hold back would keep both alive for ever.
class FakeVpnConnection final : public VpnConnection {
public:
    FakeVpnConnection(const std::shared_ptr<FakeVpnProfileStore::System>& system, quint64 id)
        : m_system(system)
        , m_id(id) {}

    VpnStatus status() const override { return m_status; }
    void setStatus(VpnStatus status) {
        m_status = status;
        if (const auto system = m_system.lock())
            Q_EMIT system->notifier.statusChanged();
    }

    QCoro::Task<void> startTunnel() override {
        const auto system = m_system.lock();
        if (!system)
            throw invalidConfiguration();
        QCoro::Task<void> entering = FakeVpnProfileStore::System::enter(system, Call::start);
        co_await entering;
        if (!system->entry(m_id))
            throw invalidConfiguration();
    }
    QCoro::Task<void> stopTunnel() override {
        const auto system = m_system.lock();
        if (!system)
            co_return;
        QCoro::Task<void> entering = FakeVpnProfileStore::System::enter(system, Call::stop);
        try {
            co_await entering;
        } catch (const PlatformError&) {
            // Stopping reports nothing; the status tells.
        }
    }

private:
    std::weak_ptr<FakeVpnProfileStore::System> m_system;
    quint64 m_id;
    VpnStatus m_status = VpnStatus::invalid;
};

class FakeVpnProfile final : public VpnProfile {
public:
    using Saved = FakeVpnProfileStore::Saved;

    FakeVpnProfile(std::shared_ptr<FakeVpnProfileStore::System> system, quint64 id,
                   std::shared_ptr<FakeVpnConnection> connection)
        : m_system(std::move(system))
        , m_id(id)
        , m_connection(std::move(connection)) {}

    void assign(const Saved& saved) {
        m_description = saved.description;
        m_enabled = saved.enabled;
        m_protocol = saved.protocol;
    }

    VpnConnection& connection() override { return *m_connection; }

    QCoro::Task<void> saveToPreferences() override {
        auto system = m_system;
        QCoro::Task<void> entering = FakeVpnProfileStore::System::enter(system, Call::save);
        co_await entering;
        const Saved saved{m_description, m_enabled, m_protocol};
        if (auto* e = system->entry(m_id)) {
            e->saved = saved;
            co_return;
        }
        system->entries.append({m_id, saved, m_connection});
        m_connection->setStatus(VpnStatus::disconnected);
    }

    QCoro::Task<void> loadFromPreferences() override {
        auto system = m_system;
        QCoro::Task<void> entering = FakeVpnProfileStore::System::enter(system, Call::load);
        co_await entering;
        auto* e = system->entry(m_id);
        if (!e)
            throw invalidConfiguration();
        assign(e->saved);
    }

    QCoro::Task<void> removeFromPreferences() override {
        auto system = m_system;
        QCoro::Task<void> entering = FakeVpnProfileStore::System::enter(system, Call::remove);
        co_await entering;
        system->entries.removeIf([this](const auto& e) { return e.id == m_id; });
        m_connection->setStatus(VpnStatus::invalid);
    }

private:
    std::shared_ptr<FakeVpnProfileStore::System> m_system;
    quint64 m_id;
    std::shared_ptr<FakeVpnConnection> m_connection;
};

FakeVpnProfileStore::FakeVpnProfileStore()
    : m_system(std::make_shared<System>()) {}

FakeVpnProfileStore::~FakeVpnProfileStore() = default;

QCoro::Task<QList<std::shared_ptr<VpnProfile>>> FakeVpnProfileStore::loadAllFromPreferences() {
    auto system = m_system;
    QCoro::Task<void> entering = System::enter(system, Call::loadAll);
    co_await entering;
    QList<std::shared_ptr<VpnProfile>> profiles;
    for (const System::Entry& e : system->entries) {
        auto profile = std::make_shared<FakeVpnProfile>(system, e.id, e.connection);
        profile->assign(e.saved);
        profiles << profile;
    }
    co_return profiles;
}

std::shared_ptr<VpnProfile> FakeVpnProfileStore::createProfile() {
    const quint64 id = m_system->nextId++;
    return std::make_shared<FakeVpnProfile>(m_system, id,
                                            std::make_shared<FakeVpnConnection>(m_system, id));
}

VpnStatusNotifier& FakeVpnProfileStore::statusNotifier() {
    return m_system->notifier;
}

void FakeVpnProfileStore::failNext(Call call, PlatformError error) {
    m_system->failures[int(call)].append(std::move(error));
}

void FakeVpnProfileStore::hold(Call call) {
    m_system->held.insert(int(call));
}

void FakeVpnProfileStore::release(Call call) {
    m_system->held.remove(int(call));
    const QList<std::shared_ptr<FakeGate>> gates = m_system->waiters.take(int(call));
    for (const auto& gate : gates)
        gate->open();
}

int FakeVpnProfileStore::waiting(Call call) const {
    return int(m_system->waiters.value(int(call)).size());
}

void FakeVpnProfileStore::addSavedProfile(Saved profile, VpnStatus status) {
    const quint64 id = m_system->nextId++;
    auto connection = std::make_shared<FakeVpnConnection>(m_system, id);
    m_system->entries.append({id, std::move(profile), connection});
    connection->setStatus(status);
}

QList<FakeVpnProfileStore::Saved> FakeVpnProfileStore::savedProfiles() const {
    QList<Saved> result;
    for (const System::Entry& e : m_system->entries)
        result << e.saved;
    return result;
}

VpnStatus FakeVpnProfileStore::status(int index) const {
    return m_system->entries.at(index).connection->status();
}

void FakeVpnProfileStore::setStatus(VpnStatus status, int index) {
    m_system->entries.at(index).connection->setStatus(status);
}

QStringList FakeVpnProfileStore::calls() const {
    return m_system->calls;
}

void FakeVpnProfileStore::clearCalls() {
    m_system->calls.clear();
}
