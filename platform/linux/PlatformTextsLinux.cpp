#include "platform/PlatformTexts.h"

using namespace Qt::StringLiterals;

namespace PlatformTexts {

// The tunnel service holds the profiles on Linux.
QString vpnSettingsPlace() {
    return u"the Halvoran tunnel service"_s;
}

QString restartToFinishExtension() {
    return u"Restart your computer to finish enabling the VPN extension."_s;
}

} // namespace PlatformTexts
