// What a provider writes reaches the tunnel service bounded and the log
// capped, and what the service hands a provider is no more than it needs.
#include "service/tunneld/ProviderLaunch.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A field of /proc/<pid>/status, e.g. "VmHWM" or "CapBnd".
QByteArray statusField(qint64 pid, const QByteArray& name) {
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(name + ':')))
            return line.mid(name.size() + 1).trimmed();
    }
    return {};
}

qint64 peakResidentKiB(qint64 pid) {
    return statusField(pid, "VmHWM").split(' ').value(0).toLongLong();
}

} // namespace

// 50 MB on the provider's stderr: the service keeps to its size, still hears
// the status line on stdout, logs some of the lines and says it left the
// rest out.
TEST(ProviderOutput, AFloodOnStderrIsReadBoundedAndLoggedCapped) {
    TunneldProcess::Options options;
    options.arguments = {u"--connect-timeout=60000"_s, u"--stop-timeout=2000"_s,
                         u"--route-settle=100"_s};
    TunneldProcess service(options);
    ASSERT_TRUE(service.start());
    const QDBusConnection bus = service.bus();
    const qint64 before = peakResidentKiB(service.pid());
    const QString id = saveProfile(bus, tunnelProfile(u"https://sub.example.net/s/flood"_s,
                                                      {{u"standin_flood"_s, 50'000'000}}));
    ASSERT_FALSE(id.isEmpty());
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {id}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(Async::waitUntil([&] { return tunnelStatus(bus, id) == u"connected"_s; }, 60s))
        << service.log().right(2000).toStdString();
    EXPECT_LT(peakResidentKiB(service.pid()) - before, 20 * 1024);

    callTunneld(bus, u"Stop"_s, {id});
    EXPECT_TRUE(Async::waitUntil([&] { return tunnelStatus(bus, id) == u"disconnected"_s; }, 10s));
    EXPECT_TRUE(service.waitForLog(u"more lines suppressed (over 50 a second)"_s));
    const QString log = service.log();
    EXPECT_TRUE(log.contains(u": provider: flood xxxx"_s));
    EXPECT_TRUE(log.contains(u"yyyy [line cut]"_s));
    EXPECT_LT(log.count(u": provider: flood"_s), 50 * 60);
}

// In the child, before the provider runs as the user: no descriptor of the
// service's but 0-2, and no capability beyond the two network ones even in
// the bounding set.
TEST(ProviderOutput, AProviderInheritsNoDescriptorAndOnlyTheNetworkCapabilities) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start a program as another user";
    // As a library of the service might leave one: not close-on-exec.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    QString error;
    std::optional<ProviderLaunch> launch = ProviderLaunch::asUser(u"/bin/sleep"_s, 65534, &error);
    ASSERT_TRUE(launch) << error.toStdString();
    launch->arguments = {u"30"_s};
    QProcess provider;
    launch->applyTo(provider);
    provider.start();
    ASSERT_TRUE(provider.waitForStarted(5000));
    const qint64 pid = provider.processId();
    // CAP_NET_BIND_SERVICE (10) and CAP_NET_ADMIN (12).
    EXPECT_EQ(statusField(pid, "CapBnd").toStdString(), "0000000000001400");
    EXPECT_EQ(statusField(pid, "CapAmb").toStdString(), "0000000000001400");
    // The program may hold a file of its own open for a moment as it starts
    // (sleep reads its locale); a descriptor handed down stays for good.
    const auto descriptors = [pid] {
        return QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    };
    const QStringList standard{u"0"_s, u"1"_s, u"2"_s};
    Async::waitUntil([&] { return descriptors() == standard; }, 2s);
    EXPECT_EQ(descriptors(), standard);
    ::close(leaked);
    provider.kill();
    provider.waitForFinished(5000);
}
