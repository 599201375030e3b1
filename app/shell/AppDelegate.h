#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>

#include <chrono>
#include <memory>

class Clock;
class ClockTimer;
class Desktop;
class MenuBarAgent;
class QQmlApplicationEngine;
class TunnelController;

// Keeps the one window and the tray item. The tray item is made when the
// window is first shown or, for a start at login, at once, and in either case
// only while a tray host runs; a host that appears later gets it then. With a
// tray, closing the window leaves the app in the tray; without one (never
// had, or gone) closing it quits, and a tray that goes away brings the window
// back as the way in. A start at login shows no window where a tray host
// runs, or appears within `trayGrace`; otherwise the window shows.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    struct Start {
        bool atLogin = false;
        std::chrono::milliseconds trayGrace{8000};
    };

    AppDelegate(TunnelController& tunnel, Desktop& desktop, std::shared_ptr<Clock> clock,
                Start start, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Shows the window, raised and focused.
    void showWindow();
    QQuickWindow* window() const { return m_window; }
    MenuBarAgent* menuBar() const { return m_menuBar.get(); }

private:
    void makeWindow();
    void windowShown();
    void trayChanged(bool available);
    void makeTray();

    TunnelController& m_tunnel;
    Desktop& m_desktop;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QPointer<QQuickWindow> m_window;
    std::unique_ptr<MenuBarAgent> m_menuBar;
    std::unique_ptr<ClockTimer> m_graceTimer;
    bool m_shown = false; // the window has been drawn once
};
