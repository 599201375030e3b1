// System mode's firewall against real packets, in network and mount
// namespaces of the test's own (see tests/CMakeLists.txt): halvoran-tunneld
// as root, the real provider as uid 65534, the stand-in engine sending marked
// packets to an edge, and a user's program sending unmarked ones, all through
// a veth pair to a second namespace that counts what arrives.
#include "tests/service/ServiceConfig.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"

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
    EXPECT_EQ(process.exitCode(), 0)
        << command.join(u' ').toStdString() << ": " << process.readAllStandardError().toStdString();
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
        // The internet: a namespace behind a veth pair that counts what
        // reaches it. The engine where the provider's fixed PATH finds it, in
        // a tree of root's; uid 65534's home holding the app's configuration.
        m_internet.start(u"unshare"_s, {u"--net"_s, u"sleep"_s, u"600"_s});
        ASSERT_TRUE(m_internet.waitForStarted() && m_trusted.isValid());
        QThread::msleep(100);
        run({u"sh"_s, u"-ec"_s,
             u"far=\"nsenter --net=/proc/$1/ns/net\"\n"
             "ip link set lo up; ip link add hv0 type veth peer name hv1 netns $1\n"
             "$far ip addr add 192.0.2.1/24 dev hv1; $far ip link set hv1 up\n"
             "ip addr add 192.0.2.10/24 dev hv0; ip link set hv0 up\n"
             "ip route add default via 192.0.2.1\n"
             "echo 'table inet count { counter app {}\n counter edge {}\n"
             " chain in { type filter hook prerouting priority raw;\n"
             "  ip daddr 203.0.113.7 counter name app\n ip daddr 198.51.100.1 counter name edge\n"
             " }\n}' | $far nft -f -\n"
             "cd $2; chmod 755 .; mkdir -p bin home/.config $3/rulesets; cp $4 fake-sing-box\n"
             "cat >bin/sing-box <<END\n#!/bin/sh\nexport FAKE_SING_BOX_MODE=traffic "
             "FAKE_SING_BOX_START_DELAY=1 FAKE_SING_BOX_EDGE=198.51.100.1:443 "
             "FAKE_SING_BOX_RECORD=$2/home/record\nexec /usr/bin/python3 $2/fake-sing-box "
             "\"\\$@\"\nEND\n"
             "chmod 755 bin/sing-box; cat >$3/last-config.json; chown -R 65534:65534 home\n"
             "sed -E \"s|^(nobody:[^:]*:65534:[^:]*:[^:]*:)[^:]*|\\1$2/home|\" /etc/passwd "
             ">passwd\n"
             "mount --bind bin /usr/local/sbin; mount --bind passwd /etc/passwd\n"_s,
             u"sh"_s, QString::number(m_internet.processId()), m_trusted.path(),
             u"home/.local/share/Q7T2K9RW4M.group.dev.morvel.vpn"_s, QStringLiteral(FAKE_ENGINE)},
            QJsonDocument(serviceConfig()).toJson());
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

    QString home() const { return m_trusted.filePath(u"home"_s); }
    Counts counts() const {
        const QString said =
            run({u"nsenter"_s, u"--net=/proc/%1/ns/net"_s.arg(m_internet.processId()), u"nft"_s,
                 u"list"_s, u"counters"_s, u"table"_s, u"inet"_s, u"count"_s});
        static const QRegularExpression packets(u"counter (app|edge) \\{\\s*packets (\\d+)"_s);
        Counts found;
        for (const QRegularExpressionMatch& m : packets.globalMatch(said))
            (m.captured(1) == u"app"_s ? found.app : found.edge) = m.captured(2).toLongLong();
        return found;
    }
    // The counts since the last phase, under `name`.
    Counts phase(const char* name) {
        const Counts now = counts(), delta = now - m_last;
        m_last = now;
        std::printf("%-24s app %5lld  edge %5lld\n", name, delta.app, delta.edge);
        return delta;
    }
    // The engines run so far, from the stand-in's record.
    QList<int> enginePids() const {
        QFile record(home() + u"/record"_s);
        record.open(QIODevice::ReadOnly);
        static const QRegularExpression run(u"\"pid\": (\\d+)"_s);
        QList<int> pids;
        for (const QRegularExpressionMatch& m :
             run.globalMatch(QString::fromUtf8(record.readAll())))
            pids << m.captured(1).toInt();
        return pids;
    }

    QProcess m_internet, m_app;
    QTemporaryDir m_trusted{u"/run/halvoran-firewall-test-XXXXXX"_s};
    Counts m_last;
};

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
               Async::waitUntil(
                   [&] { return service->log().count(u"status connected"_s) >= times; }, 20s);
    };
    ASSERT_EQ(callOnceAsPeer(u"RequestApproval"_s, {false}), peerOk(u"approved"_s));
    const QString id =
        callOnceAsPeer(u"Save"_s, {QJsonObject::fromVariantMap(tunnelProfile(
                                      u"https://sub.example.net/s/t0k3n"_s))})[u"ok"_s]
            .toString();
    ASSERT_FALSE(id.isEmpty()) << service->log().toStdString();

    QThread::msleep(300);
    EXPECT_GT(phase("before start").app, 0);
    ASSERT_EQ(callOnceAsPeer(u"Start"_s, {id}), peerOk()) << service->log().toStdString();
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

    ASSERT_EQ(callOnceAsPeer(u"Stop"_s, {id}), peerOk());
    EXPECT_TRUE(Async::waitUntil([] { return !ourTable(); }, 10s));
    QThread::msleep(300);
    EXPECT_GT(phase("after the stop").app, 0);

    // A crashed service leaves its firewall; the next one takes it away.
    ASSERT_EQ(callOnceAsPeer(u"Start"_s, {id}), peerOk());
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
    EXPECT_EQ(callOnceAsPeer(u"Start"_s, {id}),
              peerError(u"dev.morvel.vpn.Tunnel1.Error.Failed"_s));
    EXPECT_TRUE(unprotected.waitForLog(u"The tunnel cannot start without its firewall: nft is not "
                                       u"installed (no /nonexistent/nft; install nftables)."_s));
    QThread::msleep(500);
    EXPECT_FALSE(unprotected.log().contains(u"provider "_s)) << unprotected.log().toStdString();
    EXPECT_EQ(enginePids().size(), engines);
}

} // namespace
