#include "platform/linux/LinuxDesktop.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QSysInfo>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

bool LinuxDesktop::isTrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void LinuxDesktop::copyToClipboard(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

bool LinuxDesktop::openUrl(const QUrl& url) {
    // Only web pages: an address from anywhere else must not start a program.
    if (url.scheme() != u"https"_s && url.scheme() != u"http"_s)
        return false;
    return QDesktopServices::openUrl(url);
}

QString LinuxDesktop::operatingSystem() const {
    // Qt reads PRETTY_NAME from os-release; without one it names the kernel.
    return u"Linux "_s + QSysInfo::prettyProductName() + u", kernel "_s + QSysInfo::kernelVersion();
}
