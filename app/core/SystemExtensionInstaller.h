#pragma once

#include "platform/ExtensionRequest.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

// Gets the tunnel extension activated: submits the system's activation
// request, answers it as its delegate, and reports the extension's install
// state to one listener, the tunnel controller. Main thread only.
class SystemExtensionInstaller final : public ExtensionRequestDelegate {
    Q_OBJECT
public:
    class Status {
    public:
        enum class Kind { unknown, installing, needsApproval, installed, failed };

        Status(Kind kind = Kind::unknown)
            : m_kind(kind) {}
        static Status failed(QString message) { return Status(Kind::failed, std::move(message)); }

        Kind kind() const { return m_kind; }
        // The failure's text, shown to the user; empty for the other kinds.
        const QString& message() const { return m_message; }
        // The case name, and for a failure the message: "failed(<message>)".
        QString text() const;

        friend bool operator==(const Status&, const Status&) = default;

    private:
        Status(Kind kind, QString message)
            : m_kind(kind)
            , m_message(std::move(message)) {}

        Kind m_kind;
        QString m_message;
    };

    explicit SystemExtensionInstaller(ExtensionManager& manager, QObject* parent = nullptr);

    const Status& status() const { return m_status; }
    // Called with each new status, on the main thread.
    void setOnStatusChange(std::function<void(const Status&)> callback) {
        m_onStatusChange = std::move(callback);
    }

    // Submits an activation request when one can help: never once installed,
    // and while a request is in flight only to renew it during approval.
    Q_INVOKABLE void activate();
    // Takes the user's approval back (sign-out): the status returns to
    // unknown and the next activation asks for approval again. Never throws.
    QCoro::Task<void> withdraw();

    ReplacementAction actionForReplacingExtension(const ExtensionRequest& request,
                                                  const ExtensionVersion& existing,
                                                  const ExtensionVersion& replacement) override;
    void requestNeedsUserApproval(const ExtensionRequest& request) override;
    void requestDidFinish(const ExtensionRequest& request, Result result) override;
    void requestDidFail(const ExtensionRequest& request, const PlatformError& error) override;

private:
    void setStatus(const Status& status);

    std::function<void(const Status&)> m_onStatusChange;
    Status m_status;
    ExtensionManager& m_manager;
    const QString m_extensionIdentifier;
    // The request in flight.
    std::shared_ptr<ExtensionRequest> m_current;
};
