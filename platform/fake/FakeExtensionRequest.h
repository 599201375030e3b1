#pragma once

#include "platform/ExtensionRequest.h"

#include <QList>

#include <memory>

// A stand-in for the system's extension service: it keeps every submitted
// request, and the test answers any of them, old or current, in any order.
// Answers go to the request's delegate at once, inside the call.
class FakeExtensionManager final : public ExtensionManager {
public:
    using Delegate = ExtensionRequestDelegate;

    void submitRequest(std::shared_ptr<ExtensionRequest> request) override;
    QCoro::Task<void> withdrawApproval() override;
    int withdrawals() const { return m_withdrawals; }

    const QList<std::shared_ptr<ExtensionRequest>>& submissions() const { return m_submissions; }
    qsizetype count() const { return m_submissions.size(); }

    // `index` counts submissions from 0; -1 is the latest.
    // The delegate's answer; cancel when the request has no delegate.
    Delegate::ReplacementAction replace(int index, ExtensionVersion existing,
                                        ExtensionVersion replacement);
    void needApproval(int index = -1);
    void finish(int index = -1, Delegate::Result result = Delegate::Result::completed);
    void fail(int index, PlatformError error);
    // Fails the request as replaced by a newer one.
    void supersede(int index);

private:
    const ExtensionRequest& request(int index) const;

    QList<std::shared_ptr<ExtensionRequest>> m_submissions;
    int m_withdrawals = 0;
};
