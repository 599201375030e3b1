#include "service/tunneld/ServiceLog.h"

namespace ServiceLog {
Q_LOGGING_CATEGORY(tunneld, "dev.morvel.vpn.tunneld", QtInfoMsg)
}
