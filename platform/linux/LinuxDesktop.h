#pragma once

#include "platform/Desktop.h"
#include "platform/linux/AppearancePortal.h"

#include <QDBusServiceWatcher>
#include <QObject>

#include <chrono>
#include <memory>

class Clock;
class ClockTimer;

// The desktop of a Linux session: the StatusNotifier tray (or, on an X11
// desktop that has none, an XEmbed one), the session's clipboard, xdg-open's
// handlers, the XDG autostart entry, and the colour scheme: a GTK theme
// forced dark (GTK_THEME ending in ":dark"), else the desktop portal's choice.
//
// Qt 6.4 decides once per process, when first asked, whether its tray icon
// speaks StatusNotifier; asked before the host is up, it would never show an
// icon in a StatusNotifier tray. So the host is watched here on the session
// bus. Where no StatusNotifier watcher shows up at all within `legacyGrace`,
// the X server is asked for an XEmbed tray, never Qt: a host that comes up
// later still gets a StatusNotifier item.
class LinuxDesktop final : public QObject, public Desktop {
    Q_OBJECT
public:
    explicit LinuxDesktop(std::shared_ptr<Clock> clock,
                          std::chrono::milliseconds legacyGrace = std::chrono::seconds(3),
                          QObject* parent = nullptr);
    ~LinuxDesktop() override;

    // False until the session bus has answered, shortly after start.
    bool isTrayAvailable() const override { return m_trayAvailable; }
    void watchTray(std::function<void(bool)> changed) override;
    // The user's entry in $XDG_CONFIG_HOME/autostart overrides the installed
    // one in $XDG_CONFIG_DIRS/autostart, as the autostart rules say.
    bool startsAtLogin() const override;
    bool setStartAtLogin(bool enabled) override;
    void copyToClipboard(const QString& text) override;
    bool openUrl(const QUrl& url) override;
    ColorScheme colorScheme() const override;
    void watchColorScheme(std::function<void(ColorScheme)> changed) override;
    // "Linux <distribution's PRETTY_NAME>, kernel <release>".
    QString operatingSystem() const override;

    // The autostart entry's file name.
    static constexpr char autostartName[] = "dev.morvel.vpn.Halvoran.desktop";

private Q_SLOTS:
    // Slots, since the watcher's signals reach them by name over the bus.
    void askForHost();
    void hostRegistered();
    void hostUnregistered();

private:
    void setTrayAvailable(bool available);

    AppearancePortal m_appearance;
    QDBusServiceWatcher m_watcher;
    std::unique_ptr<ClockTimer> m_legacyTimer;
    bool m_trayAvailable = false;
    bool m_legacyTray = false;
    std::function<void(bool)> m_changed;
};
