#include "platform/linux/LinuxDesktop.h"

#include "shared/async/Clock.h"
#include "shared/settings/AtomicFile.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

const QString watcherName = u"org.kde.StatusNotifierWatcher"_s;
const QString watcherPath = u"/StatusNotifierWatcher"_s;

QString userAutostartFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           u"/autostart/"_s + QLatin1StringView(LinuxDesktop::autostartName);
}

// Whether the entry at `path` runs at login: it exists and is not hidden.
std::optional<bool> entryRuns(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool runs = true;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed == "Hidden=true" || trimmed == "X-GNOME-Autostart-enabled=false")
            runs = false;
    }
    return runs;
}

// Whether an XEmbed tray manages this X screen: it owns the screen's
// _NET_SYSTEM_TRAY selection. Asked of the X server directly, since Qt would
// settle its own tray kind for good on the first question.
bool hasXEmbedTray() {
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                              : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // The screen Qt opened: DISPLAY's ".N", 0 without one.
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const int screen = dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, quint16(selection.size()), selection.constData()),
        nullptr);
    if (!atom)
        return false;
    const xcb_atom_t name = atom->atom;
    free(atom);
    if (name == XCB_ATOM_NONE)
        return false; // never interned: nobody ever owned it
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, name), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    free(owner);
    return owned;
}

} // namespace

LinuxDesktop::LinuxDesktop(std::shared_ptr<Clock> clock, std::chrono::milliseconds legacyGrace,
                           QObject* parent)
    : QObject(parent)
    , m_appearance(QDBusConnection::sessionBus())
    , m_watcher(watcherName, QDBusConnection::sessionBus(),
                QDBusServiceWatcher::WatchForRegistration |
                    QDBusServiceWatcher::WatchForUnregistration)
    , m_legacyTimer(clock->createTimer()) {
    connect(m_legacyTimer.get(), &ClockTimer::timeout, this, [this] {
        // No StatusNotifier watcher at all: an X11 desktop may still have an
        // XEmbed tray.
        if (m_trayAvailable ||
            QDBusConnection::sessionBus().interface()->isServiceRegistered(watcherName))
            return;
        m_legacyTray = hasXEmbedTray();
        if (m_legacyTray)
            setTrayAvailable(true);
    });
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &LinuxDesktop::askForHost);
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &LinuxDesktop::hostUnregistered);
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(watcherName, watcherPath, watcherName, u"StatusNotifierHostRegistered"_s, this,
                SLOT(hostRegistered()));
    bus.connect(watcherName, watcherPath, watcherName, u"StatusNotifierHostUnregistered"_s, this,
                SLOT(askForHost()));
    // Asked without waiting: the window's first frame does not need the
    // answer, and a start at login waits for it anyway (its grace).
    askForHost();
    m_legacyTimer->start(legacyGrace);
}

LinuxDesktop::~LinuxDesktop() = default;

void LinuxDesktop::watchTray(std::function<void(bool)> changed) {
    m_changed = std::move(changed);
}

void LinuxDesktop::setTrayAvailable(bool available) {
    if (std::exchange(m_trayAvailable, available) != available && m_changed)
        m_changed(available);
}

void LinuxDesktop::askForHost() {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        watcherName, watcherPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    ask << watcherName << u"IsStatusNotifierHostRegistered"_s;
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask, 2000),
                                                this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<QDBusVariant> reply = *call;
        call->deleteLater();
        if (!reply.isError())
            setTrayAvailable(reply.value().variant().toBool() || m_legacyTray);
    });
}

void LinuxDesktop::hostRegistered() {
    setTrayAvailable(true);
}

void LinuxDesktop::hostUnregistered() {
    setTrayAvailable(m_legacyTray);
}

bool LinuxDesktop::startsAtLogin() const {
    if (const std::optional<bool> own = entryRuns(userAutostartFile()))
        return *own;
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        if (const std::optional<bool> installed =
                entryRuns(dir + u"/autostart/"_s + QLatin1StringView(autostartName)))
            return *installed;
    }
    return false;
}

bool LinuxDesktop::setStartAtLogin(bool enabled) {
    const QString path = userAutostartFile();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // A whole entry either way: it overrides an installed one, and stands
    // alone where none is installed.
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Halvoran\n"
                             "Exec=" +
                             QFile::encodeName(QCoreApplication::applicationFilePath()) +
                             " --autostart\n"
                             "Icon=dev.morvel.vpn.Halvoran\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=" +
                             QByteArray(enabled ? "true" : "false") + "\nHidden=" +
                             QByteArray(enabled ? "false" : "true") + '\n';
    return AtomicFile::write(path, entry);
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

Desktop::ColorScheme LinuxDesktop::colorScheme() const {
    // GTK itself then draws dark whatever the portal says.
    if (qEnvironmentVariable("GTK_THEME").endsWith(u":dark"_s))
        return ColorScheme::dark;
    return m_appearance.colorScheme();
}

void LinuxDesktop::watchColorScheme(std::function<void(ColorScheme)> changed) {
    m_appearance.watch(
        [this, changed = std::move(changed)](ColorScheme) { changed(colorScheme()); });
}

QString LinuxDesktop::operatingSystem() const {
    // Qt reads PRETTY_NAME from os-release; without one it names the kernel.
    return u"Linux "_s + QSysInfo::prettyProductName() + u", kernel "_s + QSysInfo::kernelVersion();
}
