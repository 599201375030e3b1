#include "platform/linux/DbusExtensionManager.h"

#include "TunnelServiceProxy.h" // generated from the interface file
#include "shared/async/Detached.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QPointer>

using namespace Qt::StringLiterals;
using Delegate = ExtensionRequestDelegate;

DbusExtensionManager::DbusExtensionManager(TunnelServiceBus bus, Bounds bounds, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_bounds(bounds) {}

void DbusExtensionManager::submitRequest(std::shared_ptr<ExtensionRequest> request) {
    // Asking again while approval is pending is the user's "Allow": only then
    // may polkit put a password prompt in front of them.
    const bool interactive = m_current && m_awaitingApproval;
    if (auto replaced = std::exchange(m_current, request)) {
        QMetaObject::invokeMethod(
            this,
            [replaced] {
                if (Delegate* delegate = replaced->delegate())
                    delegate->requestDidFail(
                        *replaced, PlatformError(QString(ExtensionRequest::errorDomain),
                                                 ExtensionRequest::requestSuperseded,
                                                 u"The request was replaced by a newer one."_s));
            },
            Qt::QueuedConnection);
    }
    m_awaitingApproval = false;
    QMetaObject::invokeMethod(
        this,
        [this, request, interactive] {
            Detached::start(process(this, request, interactive), this, Log::sysext);
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> DbusExtensionManager::process(QPointer<DbusExtensionManager> self,
                                                std::shared_ptr<ExtensionRequest> request,
                                                bool interactive) {
    const TunnelServiceBus bus = self->m_bus;
    const auto bound = interactive ? self->m_bounds.interactive : self->m_bounds.quick;
    std::optional<PlatformError> failure;
    QString answer;
    try {
        const auto service = bus.proxy(bound);
        QCoro::Task<QDBusMessage> calling = bus.wait(service->RequestApproval(interactive));
        const QDBusMessage reply = co_await calling;
        answer = reply.arguments().value(0).toString();
    } catch (const PlatformError& error) {
        failure = error;
    }
    // A newer request owns the answers now; this one was told it was superseded.
    if (!self || self->m_current != request)
        co_return;
    Delegate* delegate = request->delegate();
    if (!failure && answer == TunnelServiceApi::needsApproval) {
        self->m_awaitingApproval = true;
        if (delegate)
            delegate->requestNeedsUserApproval(*request);
        co_return;
    }
    self->m_current.reset();
    if (!failure && answer != TunnelServiceApi::approved)
        failure = PlatformError(QString(TunnelServiceBus::errorDomain), TunnelServiceBus::failed,
                                u"The Halvoran tunnel service gave an unknown answer."_s);
    if (!delegate)
        co_return;
    if (failure)
        delegate->requestDidFail(*request, *failure);
    else
        delegate->requestDidFinish(*request, Delegate::Result::completed);
}

QCoro::Task<void> DbusExtensionManager::withdrawApproval() {
    const TunnelServiceBus bus = m_bus;
    const auto service = bus.proxy(m_bounds.quick);
    QCoro::Task<QDBusMessage> calling = bus.wait(service->RevokeApproval());
    co_await calling;
}
