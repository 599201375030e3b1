#pragma once

#include "platform/ExtensionRequest.h"
#include "platform/linux/TunnelServiceBus.h"

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

// How long an approval request may wait for the tunnel service.
struct DbusExtensionBounds {
    std::chrono::milliseconds quick{10000};
    // Someone may be typing an administrator's password.
    std::chrono::milliseconds interactive{120000};
};

// Extension approval on Linux: a request completes when halvoran-tunneld
// answers and this user is approved to use it. In system mode the first use
// needs an administrator's one-time polkit authorisation: the first request
// asks quietly and reports that approval is needed; a request submitted while
// approval is pending (the approval screen's button) lets polkit ask for the
// password. A service that is missing or does not answer in time fails the
// request with a description that says what to install or start.
//
// Answers reach the request's delegate on the main thread, never inside
// submitRequest; a request replaced by a newer one fails as superseded.
class DbusExtensionManager final : public QObject, public ExtensionManager {
    Q_OBJECT
public:
    using Bounds = DbusExtensionBounds;

    explicit DbusExtensionManager(TunnelServiceBus bus, Bounds bounds = {},
                                  QObject* parent = nullptr);

    void submitRequest(std::shared_ptr<ExtensionRequest> request) override;
    // Gives the user's polkit approval back to the service (system mode).
    QCoro::Task<void> withdrawApproval() override;

private:
    static QCoro::Task<void> process(QPointer<DbusExtensionManager> self,
                                     std::shared_ptr<ExtensionRequest> request, bool interactive);

    TunnelServiceBus m_bus;
    Bounds m_bounds;
    // The request that the next answer belongs to, and whether it waits for approval.
    std::shared_ptr<ExtensionRequest> m_current;
    bool m_awaitingApproval = false;
};
