#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class TunnelController;

// The tray item: its icon and menu follow the controller's state and
// metadata, and the menu offers opening the window, connecting or
// disconnecting, and quitting. Made once, when the window is first shown,
// and only where a tray host runs.
class MenuBarAgent final : public QObject {
    Q_OBJECT
public:
    // `openWindow` shows the window (making it again if need be).
    MenuBarAgent(TunnelController& tunnel, std::function<void()> openWindow,
                 QObject* parent = nullptr);
    ~MenuBarAgent() override;

    QSystemTrayIcon& statusItem() const { return *m_statusItem; }
    // The menu as last rebuilt.
    QMenu* menu() const;
    // The symbol name of the icon shown.
    const QString& iconName() const { return m_iconName; }

private:
    void rebuildMenu();
    void open();
    void connectTunnel();
    void disconnectTunnel();
    void quit();

    TunnelController& m_tunnel;
    std::function<void()> m_open;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<QMenu> m_menu;
    QString m_iconName;
};
