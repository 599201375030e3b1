// Activation: trading a code for a subscription, and installing the profile.
#include "app/core/TunnelController.h"
#include "app/core/TunnelMessages.h"
#include "platform/VpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/api/DeviceID.h"
#include "shared/log/Log.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"
#include "shared/tunnel/TunnelContract.h"

#include <QScopeGuard>

using namespace Qt::StringLiterals;
using Kind = ConnectionState::Kind;
using ExtensionKind = SystemExtensionInstaller::Status::Kind;

namespace {

// The subscription URL to use for what the service answered: an absolute URL
// only over HTTPS, since the URL carries the user's token; a path joined to
// the service's own address with exactly one slash (that address may be
// loopback HTTP in local builds). Absent for anything else.
std::optional<QString> absoluteSubscriptionURL(const QString& fromService) {
    const QUrl given(fromService);
    if (!given.scheme().isEmpty()) {
        if (given.scheme() != u"https" || given.host().isEmpty())
            return std::nullopt;
        return fromService;
    }
    QString base = Constants::apiBaseURL().toString(QUrl::FullyEncoded);
    while (base.endsWith(u'/'))
        base.chop(1);
    qsizetype start = 0;
    while (start < fromService.size() && fromService[start] == u'/')
        ++start;
    return base + u'/' + QStringView(fromService).sliced(start);
}

struct ProfileFields {
    QString description;
    bool enabled;
    std::optional<TunnelProviderProtocol> protocol;
    friend bool operator==(const ProfileFields&, const ProfileFields&) = default;
};

ProfileFields fieldsOf(const VpnProfile& profile) {
    return {profile.localizedDescription(), profile.isEnabled(), profile.protocolConfiguration()};
}

void assign(VpnProfile& profile, const ProfileFields& fields) {
    profile.setLocalizedDescription(fields.description);
    profile.setEnabled(fields.enabled);
    profile.setProtocolConfiguration(fields.protocol);
}

bool isInPlace(const VpnProfile& profile, const QString& subscriptionURL) {
    const std::optional<TunnelProviderProtocol>& protocol = profile.protocolConfiguration();
    if (!protocol || !profile.isEnabled())
        return false;
    const QVariant entry =
        protocol->providerConfiguration.value(TunnelContract::subscriptionURLKey);
    return entry.typeId() == QMetaType::QString && entry.toString() == subscriptionURL;
}

} // namespace

QCoro::Task<void> TunnelController::activate(QString code) {
    QPointer self(this);
    // One exchange at a time: a code is spent by its first exchange, and a
    // second one would only bring back "already used" over the success.
    if (m_exchanging)
        co_return;
    setActivationNotice(std::nullopt);
    switch (m_sysextStatus.kind()) {
    case ExtensionKind::unknown:
    case ExtensionKind::installing:
        // Runs again when the installer reports the extension installed.
        m_pendingActivationCode = code;
        setState(Kind::activating);
        m_sysext->activate();
        co_return;
    case ExtensionKind::needsApproval:
        m_pendingActivationCode = code;
        m_sysext->activate();
        setState(Kind::needsExtensionApproval);
        co_return;
    case ExtensionKind::failed:
        failActivation(TunnelMessages::extensionFailed(m_sysextStatus.message()));
        co_return;
    case ExtensionKind::installed:
        setState(Kind::activating);
        break;
    }
    m_exchanging = true;
    const auto exchanged = qScopeGuard([self] {
        if (self)
            self->m_exchanging = false;
    });

    // Nothing may be published or stored under a subscription that was
    // signed out or replaced meanwhile.
    const quint64 epoch = m_subscriptionEpoch;
    const auto superseded = [&] { return !self || isStale(epoch); };
    try {
        QCoro::Task<ActivationResponse> exchange = m_api.activate(code, DeviceID::current());
        const ActivationResponse response = co_await exchange;
        if (superseded())
            co_return;
        const QString subscriptionURL =
            absoluteSubscriptionURL(response.subscriptionUrl()).value_or(QString());
        const QUrl url(subscriptionURL, QUrl::StrictMode);
        const std::optional<QString> token =
            url.isValid() && !url.isRelative() ? subscriptionToken(url) : std::nullopt;
        if (!token || token->isEmpty()) {
            failActivation(TunnelMessages::invalidSubscriptionURL());
            co_return;
        }
        QCoro::Task<void> installing = installProfile(subscriptionURL);
        co_await installing;
        if (superseded())
            co_return;
        QCoro::Task<void> tidying = removeStrayProfiles();
        co_await tidying;
        if (superseded())
            co_return;
        ++m_subscriptionEpoch;
        SharedDefaults::setSubscriptionURL(subscriptionURL);
        SharedDefaults::setSubscriptionToken(*token);
    } catch (const SignedOutMeanwhile&) {
        co_return;
    } catch (const APIError& error) {
        if (superseded())
            co_return;
        const QString description = error.errorDescription();
        failActivation(description.isEmpty() ? TunnelMessages::activationFailed() : description);
        co_return;
    } catch (const std::exception& error) {
        if (superseded())
            co_return;
        failActivation(TunnelMessages::profileInstallFailed(TunnelMessages::describe(error)));
        co_return;
    }

    // A failed fetch does not undo the activation; a withdrawn subscription
    // signs out, which leaves the state to the sign-out.
    const quint64 stored = m_subscriptionEpoch;
    QCoro::Task<void> refreshing = refreshMetadata(true);
    co_await refreshing;
    if (!self || isStale(stored))
        co_return;
    recompute(true);
}

QCoro::Task<void> TunnelController::installProfile(QString subscriptionURL) {
    QPointer self(this);
    if (m_manager && isInPlace(*m_manager, subscriptionURL)) {
        qCInfo(Log::tunnel, "configuration already in place — skipping install");
        co_return;
    }
    const quint64 epoch = m_subscriptionEpoch;
    const std::shared_ptr<VpnProfile> profile = m_manager ? m_manager : m_profiles.createProfile();
    const ProfileFields before = fieldsOf(*profile);
    TunnelProviderProtocol protocol;
    protocol.providerBundleIdentifier = Constants::tunnelBundleIdentifier;
    protocol.serverAddress = subscriptionURL;
    protocol.providerConfiguration.insert(TunnelContract::subscriptionURLKey, subscriptionURL);
    const ProfileFields wanted{Constants::vpnConfigurationName, true, std::move(protocol)};
    assign(*profile, wanted);
    bool saved = false;
    std::exception_ptr failure;
    try {
        QCoro::Task<void> saving = profile->saveToPreferences();
        co_await saving;
        saved = true;
        QCoro::Task<void> loading = profile->loadFromPreferences();
        co_await loading;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Not installed: the held profile must not look installed, or the
        // next attempt would skip the save as already done.
        if (fieldsOf(*profile) == wanted)
            assign(*profile, before);
        // Saved, though, it carries the token in its URL, and no stored
        // subscription stands behind it: it must not stay in the system.
        if (saved && self && !hasSubscription()) {
            QCoro::Task<void> removing = removeLogged(profile);
            co_await removing;
            if (self && m_manager == profile)
                m_manager.reset();
        }
        std::rethrow_exception(failure);
    }
    if (!self)
        co_return;
    if (isStale(epoch)) {
        // Saved after the device signed out: the profile carries the token.
        QCoro::Task<void> removing = profile->removeFromPreferences();
        try {
            co_await removing;
        } catch (...) {
        }
        throw SignedOutMeanwhile{};
    }
    m_manager = profile;
}

bool TunnelController::hasSubscription() {
    const std::optional<QString> token = SharedDefaults::subscriptionToken();
    return token && !token->isEmpty();
}

// Where the user can act on it: with no subscription held, the activation
// screen, with the failure beside the code; otherwise the error state.
void TunnelController::failActivation(const QString& message) {
    if (hasSubscription()) {
        setState(ConnectionState::error(message));
        return;
    }
    setActivationNotice(message);
    setState(Kind::notActivated);
}

// One profile per app: a second one would start a second tunnel beside the first.
QCoro::Task<void> TunnelController::removeStrayProfiles() {
    QPointer self(this);
    const QList<std::shared_ptr<VpnProfile>> strays = std::exchange(m_strayProfiles, {});
    for (const std::shared_ptr<VpnProfile>& profile : strays) {
        // The same system profile may be held through another object.
        if (m_manager && &profile->connection() == &m_manager->connection())
            continue;
        QCoro::Task<void> removing = removeLogged(profile);
        co_await removing;
        if (!self)
            co_return;
    }
}

QCoro::Task<void> TunnelController::removeLogged(std::shared_ptr<VpnProfile> profile) {
    try {
        QCoro::Task<void> removing = profile->removeFromPreferences();
        co_await removing;
    } catch (const std::exception& error) {
        qCCritical(Log::tunnel, "removeFromPreferences failed: %s",
                   qUtf8Printable(TunnelMessages::describe(error)));
    }
}
