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

// Approval on Linux is an administrator's polkit authorisation, asked for
// when the button resubmits the request.
QString approvalSubtitle() {
    return u"Your system needs an administrator’s permission to let Halvoran’s tunnel service "
           u"run. It's a one-time approval."_s;
}

QStringList approvalSteps() {
    return {
        u"Click “Allow” below."_s,
        u"Enter an administrator’s password when your system asks."_s,
        u"No prompt? Make sure Halvoran’s tunnel service is installed and running."_s,
    };
}

QString approvalButtonTitle() {
    return u"Allow"_s;
}

QString signOutMessage() {
    return u"This clears your subscription on this computer and removes the VPN configuration from the tunnel service. You'll need a new activation code to come back."_s;
}

QString logHint() {
    return u"(sing-box logs are in the journal — journalctl SUBSYSTEM=dev.morvel.vpn)"_s;
}

} // namespace PlatformTexts
