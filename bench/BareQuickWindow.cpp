// The yardstick of the program's own figures: a bare Qt Quick window of the
// same size with one line of text, nothing else. With --first-frame it ends
// once its first frame is drawn.
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>
#include <ctime>
#include <unistd.h>

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
    QGuiApplication app(argc, argv);
    const bool firstFrame = QGuiApplication::arguments().contains(QStringLiteral("--first-frame"));
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick\n"
                    "Window { width: 508; height: 472; visible: true; title: \"Bare\"\n"
                    "  Text { x: 24; y: 24; text: \"Halvoran\" } }\n");
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    // Timed where the frame is swapped (the render thread, if any), as the
    // program's self-test times its own; once, though a second frame may
    // swap before the exit is handled.
    if (firstFrame)
        QObject::connect(
            window, &QQuickWindow::frameSwapped, window,
            [] {
                std::printf("first frame after %.0f ms\n", msSinceProcessStart());
                std::fflush(stdout);
                QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); },
                                          Qt::QueuedConnection);
            },
            Qt::ConnectionType(Qt::DirectConnection | Qt::SingleShotConnection));
    return QGuiApplication::exec();
}
