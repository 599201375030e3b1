#include "platform/linux/LinuxDesktop.h"

#include "tests/support/Async.h"
#include "tests/support/ManualClock.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The stand-in tray host's watcher on the private session bus.
class Watcher {
public:
    explicit Watcher(QStringList arguments = {}) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(TRAY_WATCHER), arguments);
        m_up = m_process.waitForStarted(5000) &&
               Async::waitUntil([&] { return m_process.canReadLine(); }, 10s) &&
               m_process.readLine().trimmed() == "ready";
    }
    ~Watcher() { stop(); }
    bool isUp() const { return m_up; }
    // Whether an item registered with it (Qt's StatusNotifier tray icon).
    bool awaitItem() {
        return Async::waitUntil(
            [&] {
                while (!m_item && m_process.canReadLine())
                    m_item = m_process.readLine().startsWith("item ");
                return m_item;
            },
            10s);
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
    bool m_up = false;
    bool m_item = false;
};

// A host that registers with the watcher over `bus`, as a tray does once it runs.
bool registerHost(QDBusConnection bus) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.kde.StatusNotifierWatcher"_s, u"/StatusNotifierWatcher"_s,
        u"org.kde.StatusNotifierWatcher"_s, u"RegisterStatusNotifierHost"_s);
    call << u"org.kde.StatusNotifierHost-test"_s;
    return bus.call(call, QDBus::Block, 5000).type() ==
           QDBusMessage::ReplyMessage;
}

// A clock never moved: the fallback to an XEmbed tray never comes into play.
std::shared_ptr<Clock> still() {
    return std::make_shared<ManualClock>();
}

struct Reports {
    QList<bool> seen;
    void attach(LinuxDesktop& desktop) {
        desktop.watchTray([this](bool available) { seen.append(available); });
    }
    bool await(const QList<bool>& expected) {
        return Async::waitUntil([&] { return seen == expected; }, 10s);
    }
};

} // namespace

// Asked at start without waiting for the answer, which comes as a change.
TEST(LinuxDesktopTray, AHostRunningAtStartIsReportedSoonAfter) {
    Watcher watcher;
    ASSERT_TRUE(watcher.isUp());
    LinuxDesktop desktop(still());
    Reports reports;
    reports.attach(desktop);
    EXPECT_FALSE(desktop.isTrayAvailable());
    ASSERT_TRUE(reports.await({true})) << reports.seen.size();
    EXPECT_TRUE(desktop.isTrayAvailable());
}

TEST(LinuxDesktopTray, AWatcherThatAppearsLateOrGoesIsReported) {
    LinuxDesktop desktop(still());
    Reports reports;
    reports.attach(desktop);
    EXPECT_FALSE(desktop.isTrayAvailable());

    auto watcher = std::make_unique<Watcher>();
    ASSERT_TRUE(watcher->isUp());
    ASSERT_TRUE(reports.await({true})) << reports.seen.size();
    EXPECT_TRUE(desktop.isTrayAvailable());

    watcher.reset();
    ASSERT_TRUE(reports.await({true, false})) << reports.seen.size();
    EXPECT_FALSE(desktop.isTrayAvailable());
}

// A watcher can run before any host does (a panel still starting): the tray
// is there only once a host registers, and goes with the host.
TEST(LinuxDesktopTray, AWatcherWithoutHostWaitsForTheHostAndSeesItGo) {
    Watcher watcher({u"--no-host"_s});
    ASSERT_TRUE(watcher.isUp());
    LinuxDesktop desktop(still());
    Reports reports;
    reports.attach(desktop);
    EXPECT_FALSE(desktop.isTrayAvailable());

    const QString panel = u"panel"_s;
    ASSERT_TRUE(registerHost(QDBusConnection::connectToBus(QDBusConnection::SessionBus, panel)));
    ASSERT_TRUE(reports.await({true})) << reports.seen.size();
    EXPECT_TRUE(desktop.isTrayAvailable());

    QDBusConnection::disconnectFromBus(panel);
    ASSERT_TRUE(reports.await({true, false})) << reports.seen.size();
    EXPECT_FALSE(desktop.isTrayAvailable());
}

// Past the wait for a StatusNotifier watcher, the X server is asked for an
// XEmbed tray; Qt is not, since it would settle on XEmbed for good and a host
// that comes up later (seconds after login) would never show the item.
TEST(LinuxDesktopTray, AHostAfterTheLegacyGraceStillGetsTheItem) {
    const auto clock = std::make_shared<ManualClock>();
    LinuxDesktop desktop(clock, 3s);
    Reports reports;
    reports.attach(desktop);
    clock->advance(3s);
    EXPECT_FALSE(desktop.isTrayAvailable()) << "the virtual X server has no XEmbed tray";

    Watcher watcher;
    ASSERT_TRUE(watcher.isUp());
    ASSERT_TRUE(reports.await({true})) << reports.seen.size();
    QSystemTrayIcon icon(QIcon(QPixmap(16, 16)));
    icon.show();
    EXPECT_TRUE(watcher.awaitItem());
}

namespace {

struct AutostartCase {
    const char* name;
    bool installed;            // the package's entry in $XDG_CONFIG_DIRS/autostart
    std::optional<bool> chosen; // the switch, if the user touched it
    bool starts;
};

const AutostartCase autostartCases[] = {
    {"nothing installed, untouched", false, std::nullopt, false},
    {"installed, untouched", true, std::nullopt, true},
    {"installed, switched off", true, false, false},
    {"installed, switched off then on", true, true, true},
    {"nothing installed, switched on", false, true, true},
};

class LinuxDesktopAutostart : public ::testing::TestWithParam<AutostartCase> {
public:
    static QString userEntry() {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               u"/autostart/"_s + QLatin1StringView(LinuxDesktop::autostartName);
    }
    static QString installedEntry() {
        return QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation).last() +
               u"/autostart/"_s + QLatin1StringView(LinuxDesktop::autostartName);
    }
    void SetUp() override {
        QFile::remove(userEntry());
        QFile::remove(installedEntry());
    }
    static QByteArray read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

void PrintTo(const AutostartCase& c, std::ostream* os) {
    *os << c.name;
}

} // namespace

// What the session starts at the next login is the user's own entry where
// there is one (Hidden=true keeps it from starting), else the installed one.
TEST_P(LinuxDesktopAutostart, TheSwitchDecidesWhatTheSessionStarts) {
    const AutostartCase& c = GetParam();
    if (c.installed) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(installedEntry()).absolutePath()));
        QFile file(installedEntry());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(read(QStringLiteral(INSTALLED_AUTOSTART)));
    }
    LinuxDesktop desktop(still());
    if (c.chosen) {
        if (*c.chosen) {
            ASSERT_TRUE(desktop.setStartAtLogin(false));
        }
        ASSERT_TRUE(desktop.setStartAtLogin(*c.chosen));
    }
    EXPECT_EQ(desktop.startsAtLogin(), c.starts);

    const QByteArray own = read(userEntry());
    if (!c.chosen) {
        EXPECT_TRUE(own.isEmpty()) << "untouched, the user's own entry stays absent";
        return;
    }
    EXPECT_TRUE(own.startsWith("[Desktop Entry]\n"));
    const QByteArray hidden = QByteArray("\nHidden=") + (c.starts ? "false" : "true") + '\n';
    EXPECT_TRUE(own.contains(hidden)) << own.data();
    EXPECT_TRUE(own.contains(" --autostart\n")) << own.data();
}

INSTANTIATE_TEST_SUITE_P(Choices, LinuxDesktopAutostart, ::testing::ValuesIn(autostartCases),
                         [](const ::testing::TestParamInfo<AutostartCase>& param) {
                             return "case" + std::to_string(param.index);
                         });
