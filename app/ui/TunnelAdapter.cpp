#include "app/ui/TunnelAdapter.h"

#include "shared/async/Detached.h"
#include "app/ui/DiagnosticReport.h"
#include "platform/Desktop.h"
#include "platform/PlatformTexts.h"
#include "shared/async/Clock.h"
#include "shared/model/HiddenRulesets.h"
#include "shared/settings/SharedDefaults.h"

#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

namespace {

// Runs a controller job to its end; `done` follows unless `context` is gone.
void whenDone(QCoro::Task<void>&& task, QObject* context, QJSValue done) {
    Detached::start(std::move(task), context ? context : qApp, Log::tunnel, [done]() {
        if (done.isCallable())
            done.call();
    });
}

} // namespace

TunnelAdapter::TunnelAdapter(TunnelController& tunnel, Desktop& desktop,
                             std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_desktop(desktop)
    , m_clock(std::move(clock)) {
    connect(&m_tunnel, &TunnelController::stateChanged, this, &TunnelAdapter::stateChanged);
    connect(&m_tunnel, &TunnelController::metadataChanged, this, &TunnelAdapter::metadataChanged);
    connect(&m_tunnel, &TunnelController::metadataChanged, this, &TunnelAdapter::updateDots);
    connect(m_tunnel.health(), &HealthMonitor::statusesChanged, this, &TunnelAdapter::updateDots);
    connect(&m_tunnel, &TunnelController::activationNoticeChanged, this,
            &TunnelAdapter::activationNoticeChanged);
    // Sign-out forgets the stored mode.
    connect(&m_tunnel, &TunnelController::stateChanged, this, &TunnelAdapter::routingModeChanged);
    connect(&m_tunnel, &TunnelController::routingModeChanged, this,
            &TunnelAdapter::routingModeChanged);
    m_remainingTimer = m_clock->createTimer();
    connect(m_remainingTimer.get(), &ClockTimer::timeout, this, &TunnelAdapter::reviewRemaining);
    connect(&m_tunnel, &TunnelController::metadataChanged, this, &TunnelAdapter::reviewRemaining);
    reviewRemaining();
    updateDots();
}

// The text counts whole hours, or whole days, down to the expiry, which all
// lie on whole hours before it: the next change comes just past the next such
// hour. A minute at most in any case, so a clock set by the user is followed.
void TunnelAdapter::reviewRemaining() {
    Q_EMIT remainingChanged();
    if (!hasExpiry()) {
        m_remainingTimer->stop();
        return;
    }
    constexpr qint64 hourMs = 3'600'000;
    constexpr qint64 atMostMs = 60'000;
    const qint64 left = m_clock->now().msecsTo(*m_tunnel.metadata()->expiresAt());
    const qint64 next = left > 0 ? std::min(atMostMs, left % hourMs + 1) : atMostMs;
    m_remainingTimer->start(std::chrono::milliseconds(next));
}

Presentation::Tone TunnelAdapter::pillTone() const {
    return Presentation::statusPill(m_tunnel.state()).dot;
}

QString TunnelAdapter::pillLabel() const {
    return Presentation::statusPill(m_tunnel.state()).label;
}

Presentation::PowerButton TunnelAdapter::powerButton() const {
    return Presentation::powerButton(m_tunnel.state());
}

QStringList TunnelAdapter::visibleRulesets() const {
    const auto& metadata = m_tunnel.metadata();
    return metadata ? HiddenRulesets::visible(metadata->rulesetNames()) : QStringList();
}

int TunnelAdapter::edgeCount() const {
    const auto& metadata = m_tunnel.metadata();
    return metadata ? int(metadata->edges().size()) : 0;
}

bool TunnelAdapter::hasExpiry() const {
    const auto& metadata = m_tunnel.metadata();
    return metadata && metadata->expiresAt();
}

QString TunnelAdapter::expiryLongText() const {
    return hasExpiry()
               ? Presentation::longDateTime(*m_tunnel.metadata()->expiresAt(), QLocale::system())
               : QString();
}

QString TunnelAdapter::expiryShortText() const {
    return hasExpiry() ? Presentation::abbreviatedDateTime(*m_tunnel.metadata()->expiresAt(),
                                                           QLocale::system())
                       : QString();
}

QString TunnelAdapter::lastRefreshText() const {
    const auto& metadata = m_tunnel.metadata();
    return metadata ? Presentation::relativeTime(metadata->fetchedAt(), m_clock->now()) : QString();
}

QString TunnelAdapter::remainingText() const {
    return hasExpiry()
               ? Presentation::remainingTime(*m_tunnel.metadata()->expiresAt(), m_clock->now()).text
               : QString();
}

Presentation::Tone TunnelAdapter::remainingTone() const {
    return hasExpiry() ? Presentation::remainingTime(*m_tunnel.metadata()->expiresAt(),
                                                     m_clock->now())
                             .tone
                       : Presentation::Tone::secondary;
}

void TunnelAdapter::updateDots() {
    QStringList names = visibleRulesets();
    names.sort();
    const auto& statuses = m_tunnel.health()->statuses();
    QList<Presentation::Dot> dots;
    for (const QString& name : std::as_const(names)) {
        const auto found = statuses.constFind(name);
        dots.append(Presentation::rulesetDot(
            name, found == statuses.cend() ? std::nullopt : std::optional(*found)));
    }
    m_dots.setDots(std::move(dots));
}

bool TunnelAdapter::globalRouting() const {
    return SharedDefaults::routingMode() == SharedDefaults::RoutingMode::global;
}

void TunnelAdapter::setGlobalRouting(bool global) {
    using Mode = SharedDefaults::RoutingMode;
    Detached::start(m_tunnel.setRoutingMode(global ? Mode::global : Mode::selective), this,
                    Log::tunnel);
}

bool TunnelAdapter::canActivate(const QString& code) const {
    return Presentation::canActivate(m_tunnel.state(), code);
}

void TunnelAdapter::activate(const QString& code) {
    const QString trimmed = Presentation::trimmedCode(code);
    if (trimmed.isEmpty())
        return;
    Detached::start(m_tunnel.activate(trimmed), this, Log::tunnel);
}

void TunnelAdapter::power() {
    if (m_tunnel.state().isTunnelActive())
        disconnectTunnel();
    else
        connectTunnel();
}

void TunnelAdapter::connectTunnel() {
    Detached::start(m_tunnel.connect(), this, Log::tunnel);
}

void TunnelAdapter::disconnectTunnel() {
    Detached::start(m_tunnel.disconnect(), this, Log::tunnel);
}

void TunnelAdapter::refreshMetadata(bool force) {
    Detached::start(m_tunnel.refreshMetadata(force), this, Log::tunnel);
}

void TunnelAdapter::reloadRulesets(QObject* context, QJSValue done) {
    whenDone(m_tunnel.reloadRulesets(), context, std::move(done));
}

void TunnelAdapter::signOut(QObject* context, QJSValue done) {
    whenDone(m_tunnel.signOut(), context, std::move(done));
}

void TunnelAdapter::requestApproval() {
    m_tunnel.sysext()->activate();
}

QString TunnelAdapter::diagnosticReport() const {
    DiagnosticReport::Facts facts;
    facts.appVersion = Presentation::appVersionString();
    facts.operatingSystem = m_desktop.operatingSystem();
    facts.state = m_tunnel.state();
    facts.preferredEdgeTag = m_tunnel.preferredEdgeTag();
    facts.routingMode = SharedDefaults::routingMode();
    facts.metadata = m_tunnel.metadata();
    facts.logHint = PlatformTexts::logHint();
    return DiagnosticReport::build(facts);
}
