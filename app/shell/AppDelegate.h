#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>

#include <memory>

class Desktop;
class MenuBarAgent;
class QQmlApplicationEngine;
class TunnelController;

// Keeps the one window and the tray item: shows the window (making it again
// if it was destroyed), and makes the tray item once, the first time the
// window is shown, where a tray host runs. With a tray, closing the window
// leaves the app in the tray; without one, closing it quits.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    AppDelegate(TunnelController& tunnel, Desktop& desktop, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Shows the window, raised and focused.
    void showWindow();
    QQuickWindow* window() const { return m_window; }
    MenuBarAgent* menuBar() const { return m_menuBar.get(); }

private:
    void makeWindow();
    void windowShown();

    TunnelController& m_tunnel;
    Desktop& m_desktop;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QPointer<QQuickWindow> m_window;
    std::unique_ptr<MenuBarAgent> m_menuBar;
};
