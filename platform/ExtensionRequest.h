#pragma once

#include "platform/PlatformError.h"

#include <QLatin1StringView>
#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <memory>

class ExtensionRequest;

// What the system tells about an extension it is about to replace.
struct ExtensionVersion {
    QString bundleIdentifier;
    QString bundleVersion;
};

// Receives the system's answers to an extension request, on the main thread,
// never inside the call that submitted the request.
class ExtensionRequestDelegate : public QObject {
    Q_OBJECT
public:
    enum class ReplacementAction { cancel, replace };
    enum class Result { completed, willCompleteAfterReboot };

    using QObject::QObject;

    // Another build of the extension is installed; the answer decides.
    virtual ReplacementAction actionForReplacingExtension(const ExtensionRequest& request,
                                                          const ExtensionVersion& existing,
                                                          const ExtensionVersion& replacement) = 0;
    // The user must allow the extension before the request can finish.
    virtual void requestNeedsUserApproval(const ExtensionRequest& request) = 0;
    virtual void requestDidFinish(const ExtensionRequest& request, Result result) = 0;
    virtual void requestDidFail(const ExtensionRequest& request, const PlatformError& error) = 0;
};

// One request to activate an extension. The delegate is held weakly: answers
// to a request whose delegate is gone are dropped.
class ExtensionRequest {
public:
    // The domain of the system's extension errors, and the code of a request
    // that a newer one for the same extension replaced.
    static constexpr QLatin1StringView errorDomain{"SystemExtensionErrorDomain"};
    static constexpr int requestSuperseded = 12;

    explicit ExtensionRequest(QString extensionIdentifier)
        : m_identifier(std::move(extensionIdentifier)) {}

    const QString& extensionIdentifier() const { return m_identifier; }
    ExtensionRequestDelegate* delegate() const { return m_delegate; }
    void setDelegate(ExtensionRequestDelegate* delegate) { m_delegate = delegate; }

private:
    QString m_identifier;
    QPointer<ExtensionRequestDelegate> m_delegate;
};

// The system's service that installs and approves the tunnel extension.
class ExtensionManager {
public:
    virtual ~ExtensionManager();
    // Hands the request to the system; its answers reach the request's delegate.
    virtual void submitRequest(std::shared_ptr<ExtensionRequest> request) = 0;
    // Takes this user's approval back (at sign-out), so that the next request
    // needs it again. Where the system keeps no approval of its own to take
    // back, nothing happens. Throws PlatformError.
    virtual QCoro::Task<void> withdrawApproval();
};
