// Halvoran: the tunnel controller and the update checker, made once, the one
// window, and the tray item.
#include "app/core/TunnelController.h"
#include "app/core/UpdateChecker.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/SingleInstance.h"
#include "app/ui/TunnelAdapter.h"
#include "app/ui/UiContext.h"
#include "platform/LogSink.h"
#include "platform/linux/AppcastUpdater.h"
#include "platform/linux/DbusExtensionManager.h"
#include "platform/linux/DbusVpnProfileStore.h"
#include "platform/linux/LinuxDesktop.h"
#include "shared/api/APIClient.h"
#include "shared/async/Clock.h"
#include "shared/log/Log.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/SharedDefaults.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>
#include <QtQml/QQmlExtensionPlugin>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

Q_IMPORT_QML_PLUGIN(Halvoran_UiPlugin)

using namespace Qt::StringLiterals;

namespace {

// Milliseconds since this process was started, by the kernel's account, so
// that loading the libraries counts too.
double msSinceProcessStart() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which ends with the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return -1;
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double startMs = fields.at(19).toDouble() * 1000.0 / double(sysconf(_SC_CLK_TCK));
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6 - startMs;
}
} // namespace

int main(int argc, char** argv) {
    // Fusion draws with the desktop's palette, light or dark alike.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_CONTROLS_STYLE"))
        QQuickStyle::setStyle(u"Fusion"_s);
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Halvoran"_s);
    QApplication::setApplicationDisplayName(u"Halvoran"_s);
    QApplication::setApplicationVersion(QStringLiteral(HALVORAN_VERSION));
    QApplication::setDesktopFileName(u"dev.morvel.vpn.Halvoran"_s);
    QApplication::setWindowIcon(QIcon(u":/icons/halvoran.svg"_s));
    // Loads the window, draws one frame and ends: a smoke test of the build.
    const bool selfTest = QApplication::arguments().contains(u"--self-test"_s);
    // Started with the session (the autostart entry): into the tray if one runs.
    const bool atLogin = QApplication::arguments().contains(u"--autostart"_s);

    std::unique_ptr<LogSink> sink = createSystemLogSink();
    Log::installSink(sink.get());

    SingleInstance instance;
    if (!selfTest && !instance.claim())
        return 0;

    const std::shared_ptr<Clock> clock = Clock::system();
    LinuxDesktop desktop(clock);
    const TunnelServiceBus bus = TunnelServiceBus::fromEnvironment();
    DbusVpnProfileStore profiles(bus);
    DbusExtensionManager extensions(bus);
    // Every HTTP session of the program takes its manager from here.
    const NetworkAccessFactory network;
    APIClient api(clock, network);
    TunnelController tunnel(profiles, extensions, api, clock, network);
    UpdateChecker updates([&](UpdaterDelegate& delegate) -> std::unique_ptr<Updater> {
        if (selfTest)
            return nullptr;
        return std::make_unique<AppcastUpdater>(AppcastUpdater::buildConfiguration(), delegate,
                                                desktop, clock, network);
    });
    TunnelAdapter adapter(tunnel, desktop, clock);
    UiContext context(adapter, updates, desktop);

    // The user's choice, if any, is the truth; the autostart entry follows it.
    if (const std::optional<bool> chosen = SharedDefaults::startAtLogin();
        !selfTest && chosen && *chosen != desktop.startsAtLogin())
        desktop.setStartAtLogin(*chosen);

    AppDelegate delegate(tunnel, desktop, clock, {atLogin && !selfTest});
    QObject::connect(&instance, &SingleInstance::raiseRequested, &delegate,
                     &AppDelegate::showWindow);
    if (!atLogin && !delegate.window())
        return 1;

    if (selfTest) {
        // Timed where the frames are swapped (the render thread, if any):
        // the first frame, and the first one with the screen in it (the same
        // one, unless the screen came to load after it).
        QQuickWindow* window = delegate.window();
        auto* screen = window->findChild<QObject*>(u"routeLoader"_s);
        auto screenSynced = std::make_shared<std::atomic_bool>(false);
        QObject::connect(
            window, &QQuickWindow::afterSynchronizing, window,
            [screen, screenSynced] {
                // The main thread waits while a frame synchronises.
                if (!screen || screen->property("item").value<QObject*>())
                    *screenSynced = true;
            },
            Qt::DirectConnection);
        QObject::connect(
            window, &QQuickWindow::frameSwapped, window,
            [screenSynced, first = std::make_shared<std::atomic_bool>(true),
             done = std::make_shared<std::atomic_bool>(false)] {
                if (first->exchange(false))
                    std::printf("first frame after %.0f ms\n", msSinceProcessStart());
                if (!*screenSynced || done->exchange(true))
                    return;
                std::printf("screen drawn after %.0f ms\n", msSinceProcessStart());
                std::fflush(stdout);
                QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); },
                                          Qt::QueuedConnection);
            },
            Qt::DirectConnection);
        // A window that never draws fails the test instead of hanging it.
        QTimer::singleShot(std::chrono::seconds(20), &app, [] { QCoreApplication::exit(3); });
    }
    const int status = QApplication::exec();
    Log::installSink(nullptr);
    return status;
}
