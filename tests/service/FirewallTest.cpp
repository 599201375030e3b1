// System mode's firewall against real packets, in network and mount
// namespaces of the test's own (see tests/CMakeLists.txt): halvoran-tunneld
// as root, the real provider as uid 65534, the stand-in engine sending marked
// packets to an edge, and a user's program sending unmarked ones, all through
// a veth pair to a second namespace that counts what arrives.
#include "tests/service/ServiceConfig.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QString run(const QStringList& command, const QByteArray& input = {}) {
    QProcess process;
    process.start(command.first(), command.mid(1));
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(10000);
    EXPECT_EQ(process.exitCode(), 0) << command.join(u' ').toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool ourTable() {
    return run({u"nft"_s, u"list"_s, u"tables"_s}).contains(u"halvoran_tunneld"_s);
}

struct Counts {
    qint64 app = 0, edge = 0;
    Counts operator-(const Counts& o) const { return {app - o.app, edge - o.edge}; }
};

class Firewall : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariable("HALVORAN_TEST_NETNS") != u"1"_s || ::getuid() != 0)
            GTEST_SKIP() << "runs only as root in network and mount namespaces of its own";
        // The internet: a namespace behind a veth pair that counts what reaches it.
        m_internet.start(u"unshare"_s, {u"--net"_s, u"sleep"_s, u"600"_s});
        ASSERT_TRUE(m_internet.waitForStarted());
        QThread::msleep(100);
        const QString pid = QString::number(m_internet.processId());
        run({u"ip"_s, u"link"_s, u"set"_s, u"lo"_s, u"up"_s});
        run(u"ip link add hv0 type veth peer name hv1 netns"_s.split(u' ') << pid);
        run(u"ip addr add 192.0.2.10/24 dev hv0"_s.split(u' '));
        run(u"ip link set hv0 up"_s.split(u' '));
        for (const QString& step : {u"ip addr add 192.0.2.1/24 dev hv1"_s, u"ip link set hv1 up"_s})
            run(far() + step.split(u' '));
        run(u"ip route add default via 192.0.2.1"_s.split(u' '));
        run(far() + QStringList{u"nft"_s, u"-f"_s, u"-"_s},
            "table inet count { counter app {}\n counter edge {}\n"
            " chain in { type filter hook prerouting priority raw;\n"
            "  ip daddr 203.0.113.7 counter name app\n ip daddr 198.51.100.1 counter name edge\n"
            " }\n}\n");
        // The engine where the provider's fixed PATH finds it, in a tree of
        // root's; and a home for uid 65534 holding the app's configuration.
        ASSERT_TRUE(m_trusted.isValid());
        ::chmod(QFile::encodeName(m_trusted.path()).constData(), 0755);
        const QString store = home() + u"/.local/share/Q7T2K9RW4M.group.dev.morvel.vpn"_s;
        QDir().mkpath(store + u"/rulesets"_s);
        QDir().mkpath(home() + u"/.config"_s);
        writeFile(store + u"/last-config.json"_s, QJsonDocument(serviceConfig()).toJson());
        run({u"chown"_s, u"-R"_s, u"65534:65534"_s, home()});
        QDir().mkpath(path(u"bin"_s));
        ASSERT_TRUE(QFile::copy(QStringLiteral(FAKE_ENGINE), path(u"fake-sing-box"_s)));
        writeFile(path(u"bin/sing-box"_s),
                  "#!/bin/sh\nexport FAKE_SING_BOX_MODE=traffic FAKE_SING_BOX_START_DELAY=1 "
                  "FAKE_SING_BOX_EDGE=198.51.100.1:443 FAKE_SING_BOX_RECORD=" +
                      QFile::encodeName(home()) + "/record\nexec /usr/bin/python3 " +
                      QFile::encodeName(path(u"fake-sing-box"_s)) + " \"$@\"\n");
        QString passwd = run({u"cat"_s, u"/etc/passwd"_s});
        passwd.replace(QRegularExpression(u"^(nobody:[^:]*:65534:[^:]*:[^:]*:)[^:]*"_s,
                                          QRegularExpression::MultilineOption),
                       u"\\1"_s + home());
        writeFile(path(u"passwd"_s), passwd.toUtf8());
        run({u"mount"_s, u"--bind"_s, path(u"bin"_s), u"/usr/local/sbin"_s});
        run({u"mount"_s, u"--bind"_s, path(u"passwd"_s), u"/etc/passwd"_s});
        setPolkitAllowed({u"dev.morvel.vpn.tunnel.use"_s});
        // The user's program: unmarked packets to the internet every 5 ms.
        m_app.start(u"python3"_s, {u"-c"_s, u"import socket, time\n"
                                            "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                            "while True:\n"
                                            "    try: s.sendto(b'app', ('203.0.113.7', 9))\n"
                                            "    except OSError: pass\n"
                                            "    time.sleep(0.005)\n"_s});
        ASSERT_TRUE(m_app.waitForStarted());
    }
    void TearDown() override {
        for (QProcess* process : {&m_app, &m_internet}) {
            process->kill();
            process->waitForFinished();
        }
    }

    static void writeFile(const QString& name, const QByteArray& data) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        file.setPermissions(QFileDevice::Permissions(0x7755));
    }
    QString path(const QString& name) const { return m_trusted.filePath(name); }
    QString home() const { return path(u"home"_s); }
    QStringList far() const {
        return {u"nsenter"_s, u"--net=/proc/%1/ns/net"_s.arg(m_internet.processId())};
    }
    Counts counts() const {
        const auto read = [&](const QString& name) {
            static const QRegularExpression packets(u"packets (\\d+)"_s);
            return packets
                .match(run(far() + QStringList{u"nft"_s, u"list"_s, u"counter"_s, u"inet"_s,
                                               u"count"_s, name}))
                .captured(1)
                .toLongLong();
        };
        return {read(u"app"_s), read(u"edge"_s)};
    }
    // The counts since the last phase, under `name`.
    Counts phase(const char* name) {
        const Counts now = counts(), delta = now - m_last;
        m_last = now;
        std::printf("%-24s app %5lld  edge %5lld\n", name, delta.app, delta.edge);
        return delta;
    }
    QList<int> enginePids() const {
        QFile record(home() + u"/record"_s);
        QList<int> pids;
        if (record.open(QIODevice::ReadOnly))
            for (const QByteArray& line : record.readAll().split('\n'))
                if (const QJsonObject event = QJsonDocument::fromJson(line).object();
                    event[u"event"_s] == u"run"_s)
                    pids << event[u"pid"_s].toInt();
        return pids;
    }

    QProcess m_internet, m_app;
    QTemporaryDir m_trusted{u"/run/halvoran-firewall-test-XXXXXX"_s};
    Counts m_last;
};

QJsonValue peer(const QString& method, const QJsonArray& arguments = {}) {
    return callAsPeer(QJsonArray{QJsonValue(QJsonArray{method, arguments})}).at(0);
}
QJsonValue outcome(const QString& kind, const QJsonValue& value) {
    return QJsonObject{{kind, value}};
}
const QJsonValue done = outcome(u"ok"_s, QJsonValue());

TEST_F(Firewall, NothingLeavesOutsideTheTunnelFromStartToStop) {
    TunneldProcess::Options options;
    options.session = false;
    options.provider = QStringLiteral(PROVIDER);
    options.nft = QStandardPaths::findExecutable(u"nft"_s);
    options.arguments = {u"--connect-timeout=20000"_s, u"--stop-timeout=3000"_s};
    auto service = std::make_unique<TunneldProcess>(options);
    ASSERT_TRUE(service->start());
    const auto connectedTimes = [&](qsizetype times) {
        return service->waitForLog(u"status connected"_s, 20s) &&
               Async::waitUntil([&] { return service->log().count(u"status connected"_s) >= times; },
                                20s);
    };
    ASSERT_EQ(peer(u"RequestApproval"_s, {false}), outcome(u"ok"_s, u"approved"_s));
    const QString id =
        peer(u"Save"_s, {QJsonObject{{u"ProviderBundleIdentifier"_s, u"dev.morvel.vpn.sysext"_s},
                                     {u"LocalizedDescription"_s, u"VPN"_s},
                                     {u"Enabled"_s, true},
                                     {u"ServerAddress"_s, u"https://sub.example.net/s/t0k3n"_s},
                                     {u"ProviderConfiguration"_s,
                                      QJsonObject{{u"subscription_url"_s,
                                                   u"https://sub.example.net/s/t0k3n"_s}}}}})
            [u"ok"_s]
                .toString();
    ASSERT_FALSE(id.isEmpty()) << service->log().toStdString();

    QThread::msleep(300);
    EXPECT_GT(phase("before start").app, 0);
    ASSERT_EQ(peer(u"Start"_s, {id}), done) << service->log().toStdString();
    phase("the start call");
    Counts tunnel;
    const auto within = [&](const char* name) {
        const Counts delta = phase(name);
        tunnel.app += delta.app;
        return delta;
    };
    ASSERT_TRUE(connectedTimes(1)) << service->log().toStdString();
    EXPECT_GT(within("connecting").edge, 0);
    QThread::msleep(300);
    EXPECT_GT(within("connected").edge, 0);
    ASSERT_TRUE(sleepAndResume());
    ASSERT_TRUE(connectedTimes(2));
    within("reasserted");
    ASSERT_EQ(enginePids().size(), 2);
    ::kill(enginePids().last(), SIGKILL);
    ASSERT_TRUE(connectedTimes(3)) << service->log().toStdString();
    EXPECT_EQ(enginePids().size(), 3);
    EXPECT_TRUE(ourTable());
    within("engine restarted");
    QThread::msleep(300);
    within("until the stop");
    EXPECT_EQ(tunnel.app, 0);

    ASSERT_EQ(peer(u"Stop"_s, {id}), done);
    EXPECT_TRUE(Async::waitUntil([] { return !ourTable(); }, 10s));
    QThread::msleep(300);
    EXPECT_GT(phase("after the stop").app, 0);

    // A crashed service leaves its firewall; the next one takes it away.
    ASSERT_EQ(peer(u"Start"_s, {id}), done);
    phase("the second start call");
    ASSERT_TRUE(connectedTimes(4));
    EXPECT_EQ(phase("connected again").app, 0);
    service->stop(SIGKILL);
    EXPECT_TRUE(ourTable());
    EXPECT_EQ(phase("service killed").app, 0);
    options.stateDir = service->stateDir();
    TunneldProcess restarted(options);
    ASSERT_TRUE(restarted.start());
    EXPECT_TRUE(restarted.waitForLog(u"serving"_s));
    EXPECT_FALSE(ourTable()) << restarted.log().toStdString();
    QThread::msleep(300);
    EXPECT_GT(phase("service restarted").app, 0);
    restarted.stop();

    // Without nft nothing starts unprotected.
    options.nft = u"/nonexistent/nft"_s;
    TunneldProcess unprotected(options);
    ASSERT_TRUE(unprotected.start());
    const qsizetype engines = enginePids().size();
    EXPECT_EQ(peer(u"Start"_s, {id}), outcome(u"error"_s, u"dev.morvel.vpn.Tunnel1.Error.Failed"_s));
    EXPECT_TRUE(unprotected.waitForLog(u"The tunnel cannot start without its firewall: nft is not "
                                       u"installed (no /nonexistent/nft; install nftables)."_s));
    QThread::msleep(500);
    EXPECT_FALSE(unprotected.log().contains(u"provider "_s)) << unprotected.log().toStdString();
    EXPECT_EQ(enginePids().size(), engines);
}

} // namespace
