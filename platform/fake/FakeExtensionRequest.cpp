#include "platform/fake/FakeExtensionRequest.h"

using namespace Qt::StringLiterals;

void FakeExtensionManager::submitRequest(std::shared_ptr<ExtensionRequest> request) {
    m_submissions.append(std::move(request));
}

const ExtensionRequest& FakeExtensionManager::request(int index) const {
    return *m_submissions.at(index < 0 ? m_submissions.size() + index : index);
}

ExtensionRequestDelegate::ReplacementAction
FakeExtensionManager::replace(int index, ExtensionVersion existing, ExtensionVersion replacement) {
    const ExtensionRequest& r = request(index);
    if (Delegate* delegate = r.delegate())
        return delegate->actionForReplacingExtension(r, existing, replacement);
    return Delegate::ReplacementAction::cancel;
}

void FakeExtensionManager::needApproval(int index) {
    const ExtensionRequest& r = request(index);
    if (Delegate* delegate = r.delegate())
        delegate->requestNeedsUserApproval(r);
}

void FakeExtensionManager::finish(int index, Delegate::Result result) {
    const ExtensionRequest& r = request(index);
    if (Delegate* delegate = r.delegate())
        delegate->requestDidFinish(r, result);
}

void FakeExtensionManager::fail(int index, PlatformError error) {
    const ExtensionRequest& r = request(index);
    if (Delegate* delegate = r.delegate())
        delegate->requestDidFail(r, error);
}

void FakeExtensionManager::supersede(int index) {
    fail(index,
         PlatformError(QString(ExtensionRequest::errorDomain), ExtensionRequest::requestSuperseded,
                       u"The request was replaced by a newer one."_s));
}

QCoro::Task<void> FakeExtensionManager::withdrawApproval() {
    ++m_withdrawals;
    co_return;
}
