#include "platform/ExtensionRequest.h"

ExtensionManager::~ExtensionManager() = default;

QCoro::Task<void> ExtensionManager::withdrawApproval() {
    co_return;
}
