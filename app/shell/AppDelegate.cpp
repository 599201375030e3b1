#include "app/shell/AppDelegate.h"

#include "app/shell/MenuBarAgent.h"
#include "app/ui/UiContext.h"
#include "platform/Desktop.h"
#include "shared/async/Clock.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

AppDelegate::AppDelegate(TunnelController& tunnel, Desktop& desktop, std::shared_ptr<Clock> clock,
                         Start start, QObject* parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_desktop(desktop)
    , m_clock(std::move(clock)) {
    // Until there is a tray there is nothing to quit into.
    QGuiApplication::setQuitOnLastWindowClosed(true);
    m_desktop.watchTray([self = QPointer(this)](bool available) {
        if (self)
            self->trayChanged(available);
    });
    if (!start.atLogin) {
        showWindow();
        return;
    }
    if (m_desktop.isTrayAvailable()) {
        makeTray();
        return;
    }
    // At login the tray host often starts after us: wait for it a little.
    m_graceTimer = m_clock->createTimer();
    connect(m_graceTimer.get(), &ClockTimer::timeout, this, [this] {
        if (!m_menuBar)
            showWindow();
    });
    m_graceTimer->start(start.trayGrace);
}

AppDelegate::~AppDelegate() {
    m_desktop.watchTray({});
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

// The tray item waits for the window's first frame: setting it up costs
// start-up time the window should not wait for.
void AppDelegate::windowShown() {
    m_shown = true;
    if (m_desktop.isTrayAvailable())
        makeTray();
}

void AppDelegate::trayChanged(bool available) {
    if (!available) {
        // The tray was the way in; now the window is.
        QGuiApplication::setQuitOnLastWindowClosed(true);
        if (m_menuBar)
            showWindow();
        return;
    }
    if (m_menuBar) {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        return;
    }
    if (m_shown || m_graceTimer)
        makeTray();
}

void AppDelegate::makeTray() {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (m_graceTimer)
        m_graceTimer->stop();
    if (!m_menuBar)
        m_menuBar = std::make_unique<MenuBarAgent>(m_tunnel, [this] { showWindow(); });
}
