#include "app/core/SystemExtensionInstaller.h"

#include "platform/PlatformTexts.h"
#include "shared/log/Log.h"
#include "shared/settings/Constants.h"

#include <QPointer>

using namespace Qt::StringLiterals;
using Kind = SystemExtensionInstaller::Status::Kind;

QString SystemExtensionInstaller::Status::text() const {
    switch (m_kind) {
    case Kind::unknown:
        return u"unknown"_s;
    case Kind::installing:
        return u"installing"_s;
    case Kind::needsApproval:
        return u"needsApproval"_s;
    case Kind::installed:
        return u"installed"_s;
    case Kind::failed:
        return u"failed("_s + m_message + u')';
    }
    return {};
}

SystemExtensionInstaller::SystemExtensionInstaller(ExtensionManager& manager, QObject* parent)
    : ExtensionRequestDelegate(parent)
    , m_manager(manager)
    , m_extensionIdentifier(Constants::tunnelBundleIdentifier) {}

void SystemExtensionInstaller::activate() {
    if (m_status.kind() == Kind::installed)
        return;
    const bool awaitingApproval = m_status.kind() == Kind::needsApproval;
    if (m_current && !awaitingApproval)
        return; // the request in flight will answer
    if (!m_current && !awaitingApproval)
        setStatus(Kind::installing);
    // While approval is pending every call submits afresh; the system then
    // reports the older request as superseded, which is not a failure.
    auto request = std::make_shared<ExtensionRequest>(m_extensionIdentifier);
    request->setDelegate(this);
    m_current = request;
    m_manager.submitRequest(std::move(request));
    qCInfo(Log::sysext, "submitRequest %s", qUtf8Printable(m_extensionIdentifier));
}

QCoro::Task<void> SystemExtensionInstaller::withdraw() {
    QPointer self(this);
    m_current.reset();
    setStatus(Kind::unknown);
    try {
        QCoro::Task<void> withdrawing = m_manager.withdrawApproval();
        co_await withdrawing;
        if (self)
            qCInfo(Log::sysext, "withdrawApproval %s", qUtf8Printable(m_extensionIdentifier));
    } catch (const PlatformError& error) {
        if (self)
            qCCritical(Log::sysext, "withdrawApproval failed: %s",
                       Log::printable(error.localizedDescription()).constData());
    }
}

ExtensionRequestDelegate::ReplacementAction
SystemExtensionInstaller::actionForReplacingExtension(const ExtensionRequest&,
                                                      const ExtensionVersion& existing,
                                                      const ExtensionVersion& replacement) {
    // The bundled build always wins, whatever the versions say.
    qCInfo(Log::sysext, "replacing %s → %s", qUtf8Printable(existing.bundleVersion),
           qUtf8Printable(replacement.bundleVersion));
    return ReplacementAction::replace;
}

void SystemExtensionInstaller::requestNeedsUserApproval(const ExtensionRequest&) {
    setStatus(Kind::needsApproval);
}

void SystemExtensionInstaller::requestDidFinish(const ExtensionRequest&, Result result) {
    m_current.reset();
    if (result == Result::willCompleteAfterReboot)
        setStatus(Status::failed(PlatformTexts::restartToFinishExtension()));
    else
        setStatus(Kind::installed);
}

void SystemExtensionInstaller::requestDidFail(const ExtensionRequest&, const PlatformError& error) {
    if (error.domain() == ExtensionRequest::errorDomain &&
        error.code() == ExtensionRequest::requestSuperseded)
        return;
    qCCritical(Log::sysext, "didFailWithError: %s", qUtf8Printable(error.localizedDescription()));
    m_current.reset();
    setStatus(Status::failed(error.localizedDescription()));
}

void SystemExtensionInstaller::setStatus(const Status& status) {
    if (status == m_status)
        return;
    m_status = status;
    qCInfo(Log::sysext, "status → %s", qUtf8Printable(m_status.text()));
    if (m_onStatusChange) {
        const Status reported = m_status;
        m_onStatusChange(reported);
    }
}
