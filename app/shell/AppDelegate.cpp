#include "app/shell/AppDelegate.h"

#include "app/shell/MenuBarAgent.h"
#include "app/ui/UiContext.h"
#include "platform/Desktop.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

AppDelegate::AppDelegate(TunnelController& tunnel, Desktop& desktop, QObject* parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_desktop(desktop) {
    // Until the window has been shown there is nothing to quit into a tray for.
    QGuiApplication::setQuitOnLastWindowClosed(true);
}

AppDelegate::~AppDelegate() {
    m_menuBar.reset();
    m_engine.reset();
}

void AppDelegate::makeWindow() {
    m_engine = std::make_unique<QQmlApplicationEngine>();
    UiContext::loadWindow(*m_engine);
    const auto roots = m_engine->rootObjects();
    m_window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
    if (!m_window)
        return;
    // Shown means drawn: the first frame is on the screen.
    QObject::connect(m_window, &QQuickWindow::frameSwapped, this, &AppDelegate::windowShown,
                     Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
}

void AppDelegate::showWindow() {
    if (!m_window)
        makeWindow();
    if (!m_window)
        return;
    m_window->show();
    m_window->raise();
    m_window->requestActivate();
}

// Asking for the tray host waits on the session bus: done once the window is
// up, not before its first frame.
void AppDelegate::windowShown() {
    if (m_menuBar || !m_desktop.isTrayAvailable())
        return;
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_menuBar = std::make_unique<MenuBarAgent>(m_tunnel, [this] { showWindow(); });
}
