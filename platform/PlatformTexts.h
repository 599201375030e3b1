#pragma once

#include <QString>
#include <QStringList>

// User-visible texts that name a place or a machine of the platform.
namespace PlatformTexts {

// Where the user checks the VPN configuration, as it fits into
// "Check <place>.".
QString vpnSettingsPlace();

// The result shown when the extension is activated only after a restart.
QString restartToFinishExtension();

// The approval screen: what is asked of the user, the steps before the last
// ("Come back here — it continues automatically."), and the button that
// resubmits the request.
QString approvalSubtitle();
QStringList approvalSteps();
QString approvalButtonTitle();

// The sign-out confirmation's message.
QString signOutMessage();

// The diagnostic report's closing line: where the tunnel's logs are read.
QString logHint();

} // namespace PlatformTexts
