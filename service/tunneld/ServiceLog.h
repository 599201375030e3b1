#pragma once

#include <QLoggingCategory>

// The tunnel service's log category, "dev.morvel.vpn.tunneld": to the journal
// with SUBSYSTEM=dev.morvel.vpn CATEGORY=tunneld, like the app's own lines.
namespace ServiceLog {
Q_DECLARE_LOGGING_CATEGORY(tunneld)
}
