#include "platform/ExtensionRequest.h"

ExtensionManager::~ExtensionManager() = default;
