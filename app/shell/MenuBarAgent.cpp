#include "app/shell/MenuBarAgent.h"

#include "shared/async/Detached.h"
#include "app/core/TunnelController.h"
#include "app/shell/MenuBarPresentation.h"
#include "app/ui/Presentation.h"
#include "app/ui/SymbolIcons.h"

#include <QApplication>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>
#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;
using Action = MenuBarPresentation::Action;

namespace {

// The item's icon in every size a tray host may ask for.
QIcon trayIcon(const QString& name) {
    QColor color = QApplication::palette().color(QPalette::WindowText);
    if (name == u"lock.fill"_s)
        color = QColor::fromRgbF(0.07f, 0.78f, 0.74f);
    else if (name == u"exclamationmark.triangle.fill"_s)
        color = QColor(0xff, 0x9f, 0x0a);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(SymbolIcons::render(name, color, QSize(size, size))));
    return icon;
}

// A menu title shows text from the network (an error, a region): one line,
// of a length a menu can show, and no "&" taken for a mnemonic.
QString menuText(const QString& text) {
    QString line = Presentation::singleLine(text);
    if (line.size() > 80)
        line = line.left(79) + u'…';
    return line.replace(u'&', u"&&"_s);
}

} // namespace

MenuBarAgent::MenuBarAgent(TunnelController& tunnel, std::function<void()> openWindow,
                           QObject* parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_open(std::move(openWindow))
    , m_statusItem(std::make_unique<QSystemTrayIcon>()) {
    m_iconName = u"lock.open"_s;
    m_statusItem->setIcon(trayIcon(m_iconName));
    m_statusItem->setToolTip(u"VPN"_s);
    // The change is announced before the rebuild reads it: the rebuild runs
    // on a later turn of the event loop, and only while the agent lives.
    QObject::connect(&m_tunnel, &TunnelController::stateChanged, this, &MenuBarAgent::rebuildMenu,
                     Qt::QueuedConnection);
    QObject::connect(&m_tunnel, &TunnelController::metadataChanged, this,
                     &MenuBarAgent::rebuildMenu, Qt::QueuedConnection);
    // A click on the item itself opens the window; the menu is on the other button.
    QObject::connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger)
                             this->open();
                     });
    rebuildMenu();
    m_statusItem->show();
}

MenuBarAgent::~MenuBarAgent() {
    m_statusItem->setContextMenu(nullptr);
}

QMenu* MenuBarAgent::menu() const {
    return m_menu.get();
}

void MenuBarAgent::rebuildMenu() {
    const auto look = MenuBarPresentation::forState(m_tunnel.state(), m_tunnel.metadata());
    if (look.iconName != m_iconName) {
        m_iconName = look.iconName;
        m_statusItem->setIcon(trayIcon(m_iconName));
    }

    auto menu = std::make_unique<QMenu>();
    menu->addAction(menuText(look.statusTitle))->setEnabled(false);
    menu->addSeparator();
    QAction* action = menu->addAction(menuText(look.actionTitle));
    switch (look.action) {
    case Action::none:
        action->setEnabled(false);
        break;
    case Action::open:
        QObject::connect(action, &QAction::triggered, this, &MenuBarAgent::open);
        break;
    case Action::connect:
        QObject::connect(action, &QAction::triggered, this, &MenuBarAgent::connectTunnel);
        break;
    case Action::disconnect:
        QObject::connect(action, &QAction::triggered, this, &MenuBarAgent::disconnectTunnel);
        break;
    }
    if (!look.key.isEmpty())
        action->setShortcut(QKeySequence(u"Ctrl+"_s + look.key.toUpper()));
    menu->addSeparator();
    QAction* openItem = menu->addAction(u"Open VPN…"_s, this, &MenuBarAgent::open);
    openItem->setShortcut(QKeySequence(u"Ctrl+O"_s));
    QAction* quitItem = menu->addAction(u"Quit"_s, this, &MenuBarAgent::quit);
    quitItem->setShortcut(QKeySequence(u"Ctrl+Q"_s));

    m_statusItem->setContextMenu(menu.get());
    // A menu that is open right now goes when the event loop next turns.
    if (m_menu)
        m_menu.release()->deleteLater();
    m_menu = std::move(menu);
}

void MenuBarAgent::open() {
    if (m_open)
        m_open();
}

void MenuBarAgent::connectTunnel() {
    Detached::start(m_tunnel.connect(), this, Log::tunnel);
}

void MenuBarAgent::disconnectTunnel() {
    Detached::start(m_tunnel.disconnect(), this, Log::tunnel);
}

// Only the app ends: a running tunnel stays up, and the next start finds it.
void MenuBarAgent::quit() {
    QCoreApplication::quit();
}
