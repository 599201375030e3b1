// Running an activated setup: connect, disconnect, refresh, reload, sign-out.
#include "app/core/TunnelController.h"
#include "app/core/TunnelMessages.h"
#include "platform/VpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/async/Clock.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/settings/SharedDefaults.h"
#include "shared/tunnel/TunnelContract.h"

#include <QFile>
#include <QThreadPool>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

namespace {

constexpr qint64 freshForMs = 30'000;

// A failure's text as it may be logged: the service or the HTTP layer may
// quote the subscription URL, whose last segment is the user's token.
QString withoutToken(QString text, const QUrl& subscription) {
    text.replace(subscription.toString(QUrl::FullyEncoded), u"<subscription URL>"_s);
    if (const std::optional<QString> token = subscriptionToken(subscription);
        token && !token->isEmpty())
        text.replace(*token, u"<token>"_s);
    return text;
}

} // namespace

QCoro::Task<void> TunnelController::connect() {
    QPointer self(this);
    // Without a subscription there is nothing to connect to; the device
    // belongs on the activation screen, which the state already shows.
    if (!hasSubscription())
        co_return;
    const quint64 epoch = m_subscriptionEpoch;
    if (!m_manager) {
        if (const std::optional<QString> stored = SharedDefaults::subscriptionURL()) {
            qCInfo(Log::tunnel, "no VPN manager loaded; attempting to re-install configuration");
            try {
                QCoro::Task<void> installing = installProfile(*stored);
                co_await installing;
            } catch (const SignedOutMeanwhile&) {
                co_return;
            } catch (const std::exception& error) {
                if (!self || isStale(epoch))
                    co_return;
                setState(ConnectionState::error(
                    TunnelMessages::profileReinstallFailed(TunnelMessages::describe(error))));
                co_return;
            }
            if (!self || isStale(epoch))
                co_return;
        }
        if (!m_manager) {
            setState(ConnectionState::error(TunnelMessages::notConfigured()));
            co_return;
        }
    }
    if (m_metadata && !m_metadata->rulesetNames().isEmpty()) {
        const std::shared_ptr<HttpSession> downloads = m_downloads;
        QCoro::Task<void> caching = RulesetCache::refresh(
            m_metadata->rulesetNames(), TunnelContract::rulesetMaxAgeBeforeStart, *downloads);
        co_await caching;
    }
    // Whatever ran meanwhile: a sign-out ends the connect; the profile may
    // have been replaced.
    if (!self || isStale(epoch) || !m_manager)
        co_return;
    const std::shared_ptr<VpnProfile> profile = m_manager;
    try {
        QCoro::Task<void> starting = profile->connection().startTunnel();
        co_await starting;
    } catch (const std::exception& error) {
        if (self && !isStale(epoch))
            setState(ConnectionState::error(TunnelMessages::describe(error)));
        co_return;
    }
    if (self)
        recomputeState();
}

QCoro::Task<void> TunnelController::disconnect() {
    QPointer self(this);
    if (const std::shared_ptr<VpnProfile> profile = m_manager) {
        // Reports nothing: the status tells what became of the request.
        QCoro::Task<void> stopping = profile->connection().stopTunnel();
        co_await stopping;
        if (!self)
            co_return;
    }
    recomputeState();
}

QCoro::Task<void> TunnelController::refreshMetadata(bool force) {
    QPointer self(this);
    const std::optional<QString> stored = SharedDefaults::subscriptionURL();
    if (!stored)
        co_return;
    const QUrl url(*stored, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        co_return;
    if (!force && m_metadata && m_metadata->fetchedAt().msecsTo(m_clock->now()) < freshForMs)
        co_return;

    // The answer belongs to the subscription stored now. Once the device has
    // signed out or stored another one, it must not reach the store.
    const quint64 epoch = m_subscriptionEpoch;
    bool gone = false;
    try {
        QCoro::Task<SubscriptionFetch> fetching = m_api.fetchSubscription(url);
        const SubscriptionFetch fetched = co_await fetching;
        if (!self)
            co_return;
        if (isStale(epoch)) {
            // The client has already kept this configuration as the last one;
            // with nobody signed in it must go again.
            if (!SharedDefaults::subscriptionURL())
                QThreadPool::globalInstance()->start([] {
                    if (const std::optional<QString> path = SharedDefaults::lastConfigURL())
                        QFile::remove(*path);
                });
            co_return;
        }
        setMetadata(fetched.metadata);
        SharedDefaults::saveMetadata(fetched.metadata);
        recomputeState();
        // Set once, from the first list that has edges; kept after that, even
        // when a later list no longer holds it.
        if (!m_preferredEdgeTag && !fetched.metadata.edges().isEmpty())
            setPreferredEdgeTag(fetched.metadata.edges().first().tag);
        const std::shared_ptr<HttpSession> downloads = m_downloads;
        QCoro::Task<void> caching = RulesetCache::refresh(
            fetched.metadata.rulesetNames(), TunnelContract::rulesetMaxAgeBeforeStart, *downloads);
        co_await caching;
    } catch (const APIError& error) {
        if (!self || isStale(epoch))
            co_return;
        if (error.isSubscriptionGone()) {
            qCCritical(Log::tunnel, "subscription gone (%s) — routing to activation",
                       qUtf8Printable(withoutToken(error.errorDescription(), url)));
            gone = true;
        } else {
            qCCritical(Log::tunnel, "metadata refresh failed: %s",
                       qUtf8Printable(withoutToken(error.errorDescription(), url)));
        }
    } catch (const std::exception& error) {
        if (!self || isStale(epoch))
            co_return;
        qCCritical(Log::tunnel, "metadata refresh failed: %s",
                   qUtf8Printable(withoutToken(TunnelMessages::describe(error), url)));
    }
    if (!gone)
        co_return;
    QCoro::Task<void> signingOut = signOut();
    co_await signingOut;
    if (self)
        setActivationNotice(TunnelMessages::subscriptionExpired());
}

QCoro::Task<void> TunnelController::reloadRulesets() {
    QPointer self(this);
    const quint64 epoch = m_subscriptionEpoch;
    QCoro::Task<void> refreshing = refreshMetadata(true);
    co_await refreshing;
    if (!self || isStale(epoch))
        co_return;
    const QStringList names = m_metadata ? m_metadata->rulesetNames() : QStringList();
    const std::shared_ptr<HttpSession> downloads = m_downloads;
    QCoro::Task<void> caching = RulesetCache::refresh(names, 0, *downloads);
    co_await caching;
    if (!self || isStale(epoch) || !m_state.isTunnelActive())
        co_return;
    // The tunnel reads the files only when it starts.
    QCoro::Task<void> restarting = restartTunnel(epoch);
    co_await restarting;
}

QCoro::Task<void> TunnelController::setRoutingMode(SharedDefaults::RoutingMode mode) {
    if (mode == SharedDefaults::routingMode())
        co_return;
    // The tunnel process reads the mode from the store when it starts.
    SharedDefaults::setRoutingMode(mode);
    Q_EMIT routingModeChanged();
    if (!m_state.isTunnelActive())
        co_return;
    QCoro::Task<void> restarting = restartTunnel(m_subscriptionEpoch);
    co_await restarting;
}

QCoro::Task<void> TunnelController::restartTunnel(quint64 epoch) {
    QPointer self(this);
    QCoro::Task<void> stopping = disconnect();
    co_await stopping;
    if (!self)
        co_return;
    QCoro::Task<void> pause = m_clock->sleep(TunnelContract::restartPause);
    co_await pause;
    // Signed out meanwhile, perhaps signed in again: nothing of this
    // subscription's tunnel is to start.
    if (!self || isStale(epoch))
        co_return;
    QCoro::Task<void> starting = connect();
    co_await starting;
}

QCoro::Task<void> TunnelController::signOut() {
    QPointer self(this);
    ++m_subscriptionEpoch;
    ++m_signOutsRunning;
    QCoro::Task<void> stopping = disconnect();
    co_await stopping;
    if (!self)
        co_return;
    SharedDefaults::setSubscriptionToken(std::nullopt);
    SharedDefaults::setSubscriptionURL(std::nullopt);
    SharedDefaults::clearAll();
    if (const std::shared_ptr<VpnProfile> profile = m_manager) {
        QCoro::Task<void> removing = removeLogged(profile);
        co_await removing;
        if (!self)
            co_return;
    }
    --m_signOutsRunning;
    m_manager.reset();
    setMetadata(std::nullopt);
    setPreferredEdgeTag(std::nullopt);
    m_pendingActivationCode.reset();
    setActivationNotice(std::nullopt);
    setState(Kind::notActivated);
    // Signed out, the device keeps no right to run tunnels for this user.
    QCoro::Task<void> withdrawing = m_sysext->withdraw();
    co_await withdrawing;
}
