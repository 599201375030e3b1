#include "platform/VpnProfile.h"

VpnConnection::~VpnConnection() = default;
VpnProfile::~VpnProfile() = default;
VpnProfileStore::~VpnProfileStore() = default;

using namespace Qt::StringLiterals;

namespace {
constexpr std::pair<VpnStatus, QLatin1StringView> statusTexts[] = {
    {VpnStatus::invalid, "invalid"_L1},         {VpnStatus::disconnected, "disconnected"_L1},
    {VpnStatus::connecting, "connecting"_L1},   {VpnStatus::connected, "connected"_L1},
    {VpnStatus::reasserting, "reasserting"_L1}, {VpnStatus::disconnecting, "disconnecting"_L1},
};
} // namespace

QString vpnStatusText(VpnStatus status) {
    for (const auto& [value, text] : statusTexts)
        if (value == status)
            return text;
    return {};
}

std::optional<VpnStatus> vpnStatusFromText(QStringView text) {
    for (const auto& [value, name] : statusTexts)
        if (text == name)
            return value;
    return std::nullopt;
}
