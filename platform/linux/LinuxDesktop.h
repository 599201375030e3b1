#pragma once

#include "platform/Desktop.h"

// The desktop of a Linux session, through Qt's platform integration: the
// StatusNotifier or XEmbed tray, the session's clipboard, xdg-open's handlers.
class LinuxDesktop final : public Desktop {
public:
    bool isTrayAvailable() const override;
    void copyToClipboard(const QString& text) override;
    bool openUrl(const QUrl& url) override;
    // "Linux <distribution's PRETTY_NAME>, kernel <release>".
    QString operatingSystem() const override;
};
