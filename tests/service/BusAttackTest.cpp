// halvoran-tunneld in system mode, as root, attacked over the bus the way a
// local user would: hostile arguments, a disk to fill, connections that come
// and go, a uid handed to a new account, two users wanting the one tunnel.
// After each the service still serves everyone.
#include "shared/tunnel/TunnelServiceApi.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonObject>
#include <QProcess>

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace Api = TunnelServiceApi;

namespace {

QVariantMap profileWith(const QVariantMap& configuration, const QString& description = u"VPN"_s) {
    return tunnelProfile(u"https://sub.example.net/s/t0k3nt0k3n"_s, configuration, description);
}

QVariantMap configurationOf(const QDBusMessage& loaded) {
    const auto map = qdbus_cast<QVariantMap>(loaded.arguments().value(0).value<QDBusArgument>());
    return qdbus_cast<QVariantMap>(map.value(u"ProviderConfiguration"_s).value<QDBusArgument>());
}

qsizetype profileCount(const QDBusConnection& bus) {
    return loadAllProfiles(bus).size();
}

qint64 treeBytes(const QString& dir) {
    qint64 total = 0;
    for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();)
        total += QFileInfo(it.next()).size();
    return total;
}

// The service as root on the private system bus, polkit allowing.
class BusAttack : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0)
            GTEST_SKIP() << "needs root to run the system service and a second uid";
        setPolkitAllowed({QString(Api::polkitAction)});
        TunneldProcess::Options options;
        options.session = false;
        service = std::make_unique<TunneldProcess>(options);
        ASSERT_TRUE(service->start());
        bus = service->bus();
        ASSERT_EQ(callTunneld(bus, u"RequestApproval"_s, {false}).arguments().value(0).toString(),
                  QString(Api::approved));
    }
    void TearDown() override {
        if (service) {
            EXPECT_TRUE(processAlive(service->pid())) << service->log().toStdString();
        }
    }

    std::unique_ptr<TunneldProcess> service;
    QDBusConnection bus{QString()};
};

} // namespace

// Hostile values get an error, acceptable ones come back as they went, and
// nothing aborts the service (libdbus aborts on a value it cannot send).
TEST_F(BusAttack, HostileArgumentsAreAnsweredAndNeverBringTheServiceDown) {
    const QString invalid(Api::Error::invalidArgs);
    const QString unknownMethod(u"org.freedesktop.DBus.Error.UnknownMethod"_s);
    QVariant deep = QVariant::fromValue(QDBusVariant(1));
    for (int i = 0; i < 20; ++i)
        deep = QVariant::fromValue(QDBusVariant(deep));
    QVariantMap manyEntries;
    for (int i = 0; i < 5000; ++i)
        manyEntries.insert(QString::number(i), i);
    struct Case {
        const char* what;
        QString method;
        QVariantList arguments;
        QString error; // empty: accepted, and Load gives back `kept`
        QVariant kept = {};
    };
    const auto number = [](QVariant value) { return profileWith({{u"n"_s, value}}); };
    const Case cases[] = {
        {"NaN", u"Save"_s, {number(std::nan(""))}, invalid},
        {"infinity", u"Save"_s, {number(std::numeric_limits<double>::infinity())}, invalid},
        {"2^53 + 1", u"Save"_s, {number(qint64(1) << 53 | 1)}, invalid},
        {"largest uint64", u"Save"_s, {number(std::numeric_limits<quint64>::max())}, invalid},
        {"smallest int64", u"Save"_s, {number(std::numeric_limits<qint64>::min())}, invalid},
        {"2^53", u"Save"_s, {number(qint64(1) << 53)}, {}, qint64(1) << 53},
        {"minus zero", u"Save"_s, {number(-0.0)}, {}, 0},
        {"smallest double", u"Save"_s, {number(5e-324)}, {}, 5e-324},
        {"largest double", u"Save"_s, {number(1.7976931348623157e308)}, {}, 1.7976931348623157e308},
        {"byte", u"Save"_s, {number(QVariant::fromValue(uchar(255)))}, {}, 255},
        {"deep variant", u"Save"_s, {number(deep)}, invalid},
        {"object path",
         u"Save"_s,
         {number(QVariant::fromValue(QDBusObjectPath(u"/x"_s)))},
         invalid},
        {"descriptor",
         u"Save"_s,
         {number(QVariant::fromValue(QDBusUnixFileDescriptor(0)))},
         invalid},
        {"4 MB text", u"Save"_s, {profileWith({{u"t"_s, QString(4 << 20, u'x')}})}, invalid},
        {"5000 entries", u"Save"_s, {profileWith(manyEntries)}, invalid},
        {"profile as text", u"Save"_s, {u"{}"_s}, unknownMethod},
        {"start with two ids", u"Start"_s, {u"a"_s, u"b"_s}, unknownMethod},
    };
    for (const Case& c : cases) {
        const QDBusMessage reply = callTunneld(bus, c.method, c.arguments);
        if (!c.error.isEmpty()) {
            EXPECT_EQ(reply.errorName(), c.error) << c.what;
            continue;
        }
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << c.what;
        const QDBusMessage loaded = callTunneld(bus, u"Load"_s, {reply.arguments().value(0)});
        ASSERT_EQ(loaded.type(), QDBusMessage::ReplyMessage) << c.what;
        EXPECT_EQ(configurationOf(loaded).value(u"n"_s).toDouble(), c.kept.toDouble()) << c.what;
    }
    EXPECT_EQ(profileCount(bus), 5);

    // A stored value the bus cannot carry (an older version kept NaN as
    // null) makes its profile damaged, not the service dead.
    const QString dir = service->stateDir() + u"/users/0/profiles"_s;
    const QString id = u"0b7a3f4e-1c2d-4e5f-8a9b-0c1d2e3f4a5b"_s;
    service->stop();
    QFile planted(dir + u'/' + id + u".json"_s);
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.write(R"({"id":")" + id.toUtf8() +
                  R"(","localized_description":"VPN","enabled":true,"protocol":{)"
                  R"("provider_bundle_identifier":"dev.morvel.vpn.sysext","server_address":"",)"
                  R"("provider_configuration":{"n":null}}})");
    planted.close();
    ASSERT_TRUE(service->start());
    EXPECT_EQ(callTunneld(bus, u"Load"_s, {id}).errorName(), QString(Api::Error::notFound));
    EXPECT_EQ(profileCount(bus), 5);
}

// Sizes count as stored, each user has a quota, and one user's loop of
// changes is held back instead of holding the service.
TEST_F(BusAttack, OneUserCannotFillTheDiskOrHoldTheService) {
    const QString control(4096, QChar(1)); // six bytes a character, stored
    EXPECT_EQ(
        callTunneld(bus, u"Save"_s, {profileWith({{u"a"_s, control}, {u"b"_s, control}}, control)})
            .errorMessage(),
        u"The VPN profile could not be saved: the profile is too large"_s);
    QStringList errors;
    for (int i = 0; i < 8; ++i)
        errors << callTunneld(bus, u"Save"_s, {profileWith({{u"a"_s, control}}, control)})
                      .errorMessage();
    EXPECT_EQ(errors.count(QString()), 5) << errors.join(u'\n').toStdString();
    EXPECT_TRUE(errors.last().endsWith(u"this user's profiles would take too much space"_s));
    EXPECT_LT(treeBytes(service->stateDir()), 300 * 1024);

    const QString real = loadAllProfiles(bus).value(0).value(u"Id"_s).toString();
    int heldBack = 0;
    for (int i = 0; i < 40; ++i)
        heldBack += callTunneld(bus, u"Stop"_s, {real}).errorMessage().startsWith(u"Too many"_s);
    EXPECT_GT(heldBack, 0);
    EXPECT_EQ(profileCount(bus), 5);
}

// Callers that leave at once are all forgotten, whenever they leave.
TEST_F(BusAttack, CallersWhoLeaveAreForgotten) {
    const auto matchRules = [this] {
        QDBusMessage owner =
            QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                           u"org.freedesktop.DBus"_s, u"GetNameOwner"_s);
        owner << QString(Api::busName);
        QDBusMessage stats = QDBusMessage::createMethodCall(
            u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
            u"org.freedesktop.DBus.Debug.Stats"_s, u"GetConnectionStats"_s);
        stats << bus.call(owner, QDBus::Block, 5000).arguments().value(0);
        const QDBusMessage reply = bus.call(stats, QDBus::Block, 5000);
        return qdbus_cast<QVariantMap>(reply.arguments().value(0).value<QDBusArgument>())
            .value(u"MatchRules"_s)
            .toUInt();
    };
    const uint before = matchRules();
    ASSERT_GT(before, 0u);
    QProcess flood;
    flood.start(u"/usr/bin/python3"_s, {u"-c"_s, uR"(
import dbus, os
for _ in range(6000):
    bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    bus.call_async("dev.morvel.vpn.Tunnel", "/dev/morvel/vpn/Tunnel1", "dev.morvel.vpn.Tunnel1",
                   "LoadAll", "", (), None, None)
    bus.flush()
    bus.close()
)"_s});
    ASSERT_TRUE(flood.waitForFinished(60000)) << flood.readAllStandardError().toStdString();
    EXPECT_EQ(flood.exitCode(), 0) << flood.readAllStandardError().toStdString();
    EXPECT_TRUE(Async::waitUntil([&] { return matchRules() <= before; }, 3s))
        << matchRules() << " match rules, " << before << " before";
}

// A uid given to a new account comes with nothing of the old one; a user can
// take their approval back.
TEST_F(BusAttack, ApprovalBelongsToTheAccountAndCanBeRevoked) {
    const QJsonObject profile = QJsonObject::fromVariantMap(profileWith({}));
    QJsonArray outcomes =
        callAsPeer({peerCall(u"RequestApproval"_s, {true}), peerCall(u"Save"_s, {profile})});
    ASSERT_EQ(outcomes.size(), 2);
    ASSERT_TRUE(outcomes[1][u"ok"_s].isString());

    const QString user = service->stateDir() + u"/users/%1"_s.arg(peerUid);
    QFile account(user + u"/account"_s);
    ASSERT_TRUE(account.open(QIODevice::WriteOnly));
    account.write("someone-else\n/home/someone-else");
    account.close();
    outcomes = callAsPeer({peerCall(u"LoadAll"_s, {}), peerCall(u"Save"_s, {profile})});
    EXPECT_EQ(outcomes[0], peerOk(QJsonArray()));
    EXPECT_EQ(outcomes[1], peerError(QString(Api::Error::notAuthorized)));
    EXPECT_FALSE(QFile::exists(user + u"/approved"_s));

    outcomes = callAsPeer({peerCall(u"RequestApproval"_s, {false}),
                           peerCall(u"RevokeApproval"_s, {}), peerCall(u"Save"_s, {profile})});
    EXPECT_EQ(outcomes[0], peerOk(QString(Api::approved)));
    EXPECT_EQ(outcomes[2], peerError(QString(Api::Error::notAuthorized)));
}

// One interface, one routing table: one tunnel at a time.
TEST_F(BusAttack, OneTunnelRunsAtATime) {
    const QString first = saveProfile(bus, profileWith({})),
                  second = saveProfile(bus, profileWith({}));
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {first}).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(Async::waitUntil([&] { return tunnelStatus(bus, first) == u"connected"_s; }, 5s));

    const QJsonArray peer =
        callAsPeer({peerCall(u"RequestApproval"_s, {true}),
                    peerCall(u"Save"_s, {QJsonObject::fromVariantMap(profileWith({}))})});
    EXPECT_EQ(callOnceAsPeer(u"Start"_s, {peer[1][u"ok"_s]}),
              peerError(QString(Api::Error::failed)));
    EXPECT_TRUE(service->waitForLog(u"Another user's VPN tunnel is running"_s));

    // The same user's second profile takes over from the first.
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {second}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(Async::waitUntil([&] { return tunnelStatus(bus, second) == u"connected"_s; }, 5s));
    EXPECT_EQ(tunnelStatus(bus, first), u"disconnected"_s);
}
