#include "platform/VpnProfile.h"

VpnConnection::~VpnConnection() = default;
VpnProfile::~VpnProfile() = default;
VpnProfileStore::~VpnProfileStore() = default;
