#include "app/core/TunnelController.h"

#include "shared/async/Detached.h"
#include "app/core/TunnelMessages.h"
#include "platform/PlatformError.h"
#include "platform/VpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/async/Cancellation.h"
#include "shared/async/Clock.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/settings/SharedDefaults.h"

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;
using ExtensionKind = SystemExtensionInstaller::Status::Kind;

namespace {
constexpr auto pollInterval = 30s;
} // namespace

QString TunnelMessages::describe(const std::exception& error) {
    if (const auto* api = dynamic_cast<const APIError*>(&error))
        return api->errorDescription();
    if (const auto* platform = dynamic_cast<const PlatformError*>(&error))
        return platform->localizedDescription();
    if (const auto* http = dynamic_cast<const HttpError*>(&error))
        return http->description();
    return QString::fromUtf8(error.what());
}

TunnelController::TunnelController(VpnProfileStore& profiles, ExtensionManager& extensions,
                                   APIClient& api, std::shared_ptr<Clock> clock,
                                   const NetworkAccessFactory& network,
                                   QHash<QString, QUrl> healthProbes, QObject* parent)
    : QObject(parent)
    , m_health(new HealthMonitor(std::move(healthProbes), clock, network, this))
    , m_sysext(new SystemExtensionInstaller(extensions, this))
    , m_profiles(profiles)
    , m_api(api)
    , m_clock(std::move(clock))
    , m_downloads(RulesetCache::makeDownloadSession(m_clock, network)) {
    m_metadata = SharedDefaults::loadMetadata();
    syncHealthMonitor();
    setPreferredEdgeTag(SharedDefaults::preferredEdgeTag());

    // The installer reports inside its own calls; the reaction runs on a later
    // turn of the event loop, and only while the controller lives.
    m_sysext->setOnStatusChange([self = QPointer(this)](const SystemExtensionInstaller::Status& s) {
        if (!self)
            return;
        QMetaObject::invokeMethod(
            self, [self, s] { self->handleExtensionStatus(s); }, Qt::QueuedConnection);
    });
    QObject::connect(&m_profiles.statusNotifier(), &VpnStatusNotifier::statusChanged, this,
                     &TunnelController::recomputeState, Qt::QueuedConnection);
    // What the store already tells (a device activated or not) is the state
    // from the start, so the window's first frame shows the right screen; the
    // tunnel's own status follows once the profiles are loaded.
    recomputeState();

    QMetaObject::invokeMethod(
        this, [this] { Detached::start(bootstrap(), this, Log::tunnel); }, Qt::QueuedConnection);
    startPolling();
}

TunnelController::~TunnelController() {
    if (m_pollTask)
        m_pollTask->cancel();
}

void TunnelController::setState(ConnectionState state) {
    const bool changed = state != m_state;
    m_state = std::move(state);
    if (changed)
        Q_EMIT stateChanged();
    syncHealthMonitor();
}

void TunnelController::setMetadata(std::optional<SubscriptionMetadata> metadata) {
    const bool changed = metadata != m_metadata;
    m_metadata = std::move(metadata);
    if (changed)
        Q_EMIT metadataChanged();
    syncHealthMonitor();
}

void TunnelController::setActivationNotice(std::optional<QString> notice) {
    if (notice == m_activationNotice)
        return;
    m_activationNotice = std::move(notice);
    Q_EMIT activationNoticeChanged();
}

// Every write goes to the store at once: the tunnel process reads it there.
void TunnelController::setPreferredEdgeTag(std::optional<QString> tag) {
    const bool changed = tag != m_preferredEdgeTag;
    m_preferredEdgeTag = std::move(tag);
    SharedDefaults::setPreferredEdgeTag(m_preferredEdgeTag);
    if (changed)
        Q_EMIT preferredEdgeTagChanged();
}

QCoro::Task<void> TunnelController::bootstrap() {
    QPointer self(this);
    m_sysext->activate();
    std::optional<QList<std::shared_ptr<VpnProfile>>> loaded;
    try {
        QCoro::Task<QList<std::shared_ptr<VpnProfile>>> loading =
            m_profiles.loadAllFromPreferences();
        loaded = co_await loading;
    } catch (const std::exception& error) {
        if (self)
            qCCritical(Log::tunnel, "loadAllFromPreferences failed: %s",
                       qUtf8Printable(TunnelMessages::describe(error)));
    }
    if (!self)
        co_return;
    // A profile saved while the list was loading is newer than the list.
    if (loaded && !m_manager && !loaded->isEmpty()) {
        // Several can be left by a crash or an older fault: the one whose
        // tunnel is up is the one the user is using, else the first. The
        // others go at the next activation.
        const auto up = std::find_if(loaded->cbegin(), loaded->cend(), [](const auto& profile) {
            const VpnStatus status = profile->connection().status();
            return status != VpnStatus::invalid && status != VpnStatus::disconnected;
        });
        m_manager = up != loaded->cend() ? *up : loaded->first();
        for (const std::shared_ptr<VpnProfile>& profile : std::as_const(*loaded))
            if (profile != m_manager)
                m_strayProfiles.append(profile);
    }
    recomputeState();
    QCoro::Task<void> refreshing = refreshMetadata(false);
    co_await refreshing;
}

void TunnelController::startPolling() {
    if (m_pollTask)
        m_pollTask->cancel();
    m_pollTask = std::make_shared<Cancellation>();
    Detached::start(pollLoop(this, m_pollTask, m_clock), this, Log::tunnel);
}

// Every poll is forced: the loop's own pause already spaces them.
QCoro::Task<void> TunnelController::pollLoop(QPointer<TunnelController> self,
                                             std::shared_ptr<Cancellation> cancellation,
                                             std::shared_ptr<Clock> clock) {
    while (!cancellation->isCancelled()) {
        QCoro::Task<void> pause = clock->sleep(pollInterval, cancellation);
        co_await pause;
        if (cancellation->isCancelled() || !self)
            co_return;
        QCoro::Task<void> refreshing = self->refreshMetadata(true);
        co_await refreshing;
    }
}

void TunnelController::recomputeState() {
    recompute(false);
}

void TunnelController::recompute(bool closingActivation) {
    const VpnStatus tunnel = m_manager ? m_manager->connection().status() : VpnStatus::invalid;
    // A running tunnel outranks a pending approval: the user is connected.
    if (m_sysextStatus.kind() == ExtensionKind::needsApproval && tunnel != VpnStatus::connected) {
        setState(Kind::needsExtensionApproval);
        return;
    }
    const std::optional<QString> token = SharedDefaults::subscriptionToken();
    if (!token || token->isEmpty()) {
        setState(Kind::notActivated);
        return;
    }
    switch (tunnel) {
    case VpnStatus::invalid:
    case VpnStatus::disconnected:
        // An activation in progress keeps its state until its own last step.
        if (m_state.kind() == Kind::activating && !closingActivation)
            return;
        setState(Kind::idle);
        return;
    case VpnStatus::connecting:
    case VpnStatus::reasserting:
        setState(Kind::connecting);
        return;
    case VpnStatus::connected:
        setState(Kind::connected);
        return;
    case VpnStatus::disconnecting:
        setState(Kind::disconnecting);
        return;
    }
    setState(Kind::idle);
}

void TunnelController::syncHealthMonitor() {
    const QStringList names = m_metadata ? m_metadata->rulesetNames() : QStringList();
    if (m_state.kind() == Kind::connected && !names.isEmpty())
        m_health->start(names);
    else
        m_health->stop();
}

void TunnelController::handleExtensionStatus(const SystemExtensionInstaller::Status& status) {
    m_sysextStatus = status;
    switch (status.kind()) {
    case ExtensionKind::unknown:
    case ExtensionKind::installing:
    case ExtensionKind::needsApproval:
        recomputeState();
        return;
    case ExtensionKind::installed:
        if (m_pendingActivationCode) {
            const QString code = *std::exchange(m_pendingActivationCode, std::nullopt);
            Detached::start(activate(code), this, Log::tunnel);
            return;
        }
        recomputeState();
        return;
    case ExtensionKind::failed:
        // Shown only to someone waiting for the extension; at launch it stays quiet.
        if (m_state.kind() == Kind::needsExtensionApproval || m_pendingActivationCode) {
            m_pendingActivationCode.reset();
            failActivation(TunnelMessages::extensionFailed(status.message()));
        }
        return;
    }
}
