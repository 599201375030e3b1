#pragma once

#include "platform/Desktop.h"

#include <QList>

#include <functional>

// A desktop that records what the app asked of it.
class FakeDesktop final : public Desktop {
public:
    bool isTrayAvailable() const override { return trayAvailable; }
    void watchTray(std::function<void(bool)> changed) override { trayChanged = std::move(changed); }
    bool startsAtLogin() const override { return startAtLogin; }
    bool setStartAtLogin(bool enabled) override {
        startAtLogin = enabled;
        return true;
    }
    // A tray host appears or goes, as the session would announce it.
    void setTray(bool available) {
        trayAvailable = available;
        if (trayChanged)
            trayChanged(available);
    }
    void copyToClipboard(const QString& text) override { clipboard = text; }
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return opens;
    }
    QString operatingSystem() const override { return system; }
    ColorScheme colorScheme() const override { return scheme; }
    void watchColorScheme(std::function<void(ColorScheme)> changed) override {
        schemeChanged = std::move(changed);
    }
    // The user picks another scheme, as the desktop would announce it.
    void setColorScheme(ColorScheme chosen) {
        scheme = chosen;
        if (schemeChanged)
            schemeChanged(chosen);
    }

    bool trayAvailable = false;
    bool startAtLogin = false;
    std::function<void(bool)> trayChanged;
    bool opens = true;
    QString system = QStringLiteral("Linux Test OS 1, kernel 6.1.0-test");
    QString clipboard;
    ColorScheme scheme = ColorScheme::noPreference;
    std::function<void(ColorScheme)> schemeChanged;
    QList<QUrl> opened;
};
