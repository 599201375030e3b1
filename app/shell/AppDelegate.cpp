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
    QGuiApplication::setQuitOnLastWindowClosed(!m_desktop.isTrayAvailable());
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
    QObject::connect(m_window, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible)
            windowShown();
    });
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

void AppDelegate::windowShown() {
    if (m_menuBar || !m_desktop.isTrayAvailable())
        return;
    m_menuBar = std::make_unique<MenuBarAgent>(m_tunnel, [this] { showWindow(); });
}
