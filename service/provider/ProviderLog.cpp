#include "service/provider/ProviderLog.h"

Q_LOGGING_CATEGORY(providerLog, "dev.morvel.vpn.provider", QtInfoMsg)
