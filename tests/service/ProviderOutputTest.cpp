// What a provider writes reaches the tunnel service bounded and the log capped.
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QFile>

#include <gtest/gtest.h>

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
    const QString url = u"https://sub.example.net/s/flood"_s;
    const QVariantMap profile{
        {u"LocalizedDescription"_s, u"VPN"_s},
        {u"Enabled"_s, true},
        {u"ProviderBundleIdentifier"_s, u"dev.morvel.vpn.sysext"_s},
        {u"ServerAddress"_s, url},
        {u"ProviderConfiguration"_s,
         QVariantMap{{u"subscription_url"_s, url}, {u"standin_flood"_s, 50'000'000}}},
    };
    const QString id = callTunneld(bus, u"Save"_s, {profile}).arguments().value(0).toString();
    ASSERT_FALSE(id.isEmpty());
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {id}).type(), QDBusMessage::ReplyMessage);
    const auto status = [&] {
        return callTunneld(bus, u"Status"_s, {id}).arguments().value(0).toString();
    };
    EXPECT_TRUE(Async::waitUntil([&] { return status() == u"connected"_s; }, 60s))
        << service.log().right(2000).toStdString();
    EXPECT_LT(peakResidentKiB(service.pid()) - before, 20 * 1024);

    callTunneld(bus, u"Stop"_s, {id});
    EXPECT_TRUE(Async::waitUntil([&] { return status() == u"disconnected"_s; }, 10s));
    EXPECT_TRUE(service.waitForLog(u"more lines suppressed (over 50 a second)"_s));
    const QString log = service.log();
    EXPECT_TRUE(log.contains(u": provider: flood xxxx"_s));
    EXPECT_TRUE(log.contains(u"yyyy [line cut]"_s));
    EXPECT_LT(log.count(u": provider: flood"_s), 50 * 60);
}
