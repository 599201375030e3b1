#pragma once

#include <QLoggingCategory>

// The provider's lines and the engine's own, in the journal beside the app's:
// journalctl SUBSYSTEM=dev.morvel.vpn CATEGORY=provider
Q_DECLARE_LOGGING_CATEGORY(providerLog)
