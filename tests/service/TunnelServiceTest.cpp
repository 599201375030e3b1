// halvoran-tunneld as a separate process on private buses, driven over D-Bus
// with the stand-in provider: profiles on disk, the tunnel's statuses through
// every way a provider can behave, a crash of the service, and two users who
// must not see each other.
#include "shared/tunnel/TunnelServiceApi.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace Api = TunnelServiceApi;

namespace {

const QString token = u"tok3nSECRETabcdef"_s;
const QString subscriptionURL = u"https://sub.example.net/s/"_s + token;

QVariantMap profile(const QString& behaviour = u"normal"_s, const QString& report = {}) {
    return tunnelProfile(subscriptionURL,
                         {{u"standin_behaviour"_s, behaviour}, {u"standin_report"_s, report}});
}

QVariantMap mapOf(const QVariant& value) {
    return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
}

// Every StatusChanged that reaches this test's connection, in order.
class StatusRecorder final : public QObject {
    Q_OBJECT
public:
    explicit StatusRecorder(const QDBusConnection& bus) {
        QDBusConnection(bus).connect(QString(Api::busName), QString(Api::objectPath),
                                     QString(Api::interfaceName), u"StatusChanged"_s, this,
                                     SLOT(record(QString, QString)));
    }
    QStringList of(const QString& id) const { return m_seen.value(id); }
    bool waitFor(const QString& id, const QStringList& statuses,
                 std::chrono::milliseconds limit = 8s) {
        return Async::waitUntil([&] { return of(id) == statuses; }, limit);
    }
    void clear() { m_seen.clear(); }

public Q_SLOTS:
    void record(const QString& id, const QString& status) { m_seen[id] << status; }

private:
    QHash<QString, QStringList> m_seen;
};

QJsonObject readReport(const QString& path) {
    Async::waitUntil([&] { return QFile::exists(path); }, 5s);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// A directory the stand-in provider can write its report into, whoever it runs as.
struct ReportDir {
    ReportDir() { QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)); }
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

} // namespace

TEST(TunnelService, ProfilesSurviveRestartsAndBadInputIsRefused) {
    TunneldProcess service;
    ASSERT_TRUE(service.start());
    const QDBusConnection bus = service.bus();

    const QString id = saveProfile(bus, profile());
    EXPECT_EQ(QUuid::fromString(id).toString(QUuid::WithoutBraces), id);
    QVariantMap saved = mapOf(callTunneld(bus, u"Load"_s, {id}).arguments().value(0));
    EXPECT_EQ(saved.value(u"Status"_s).toString(), u"disconnected"_s);
    EXPECT_EQ(mapOf(saved.value(u"ProviderConfiguration"_s)).value(u"subscription_url"_s),
              subscriptionURL);

    // Changing a saved profile keeps its id; its file is the owner's only.
    QVariantMap changed = profile();
    changed.insert(u"Id"_s, id);
    changed.insert(u"Enabled"_s, false);
    EXPECT_EQ(saveProfile(bus, changed), id);
    const QString file = service.stateDir() + u"/users/"_s + QString::number(::getuid()) +
                         u"/profiles/"_s + id + u".json"_s;
    EXPECT_EQ(QFile::permissions(file) & 0x0077, 0);

    service.stop();
    // Damaged files, however many, are set aside, the newest few kept, and
    // the rest still loads.
    QStringList damaged;
    for (int i = 0; i < 5; ++i) {
        damaged << QFileInfo(file).dir().filePath(
            QUuid::createUuid().toString(QUuid::WithoutBraces) + u".json"_s);
        QFile garbage(damaged.last());
        ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
        garbage.write(i % 2 ? "{\"id\": tru" : QByteArray(60 * 1024, ' '));
    }
    ASSERT_TRUE(service.start());
    const QList<QVariantMap> profiles = loadAllProfiles(bus);
    EXPECT_TRUE(service.waitForLog(u"unreadable"_s));
    EXPECT_EQ(QDir(QFileInfo(file).path()).entryList({u"*.damaged"_s}, QDir::Files).size(), 3);
    ASSERT_EQ(profiles.size(), 1);
    EXPECT_EQ(profiles[0].value(u"Id"_s).toString(), id);
    EXPECT_FALSE(profiles[0].value(u"Enabled"_s).toBool());

    const auto with = [](QString key, QVariant value) {
        QVariantMap map = profile();
        map.insert(key, value);
        return map;
    };
    QVariantMap undescribed = profile();
    undescribed.remove(u"LocalizedDescription"_s);
    const QString invalid(Api::Error::invalidArgs), notFound(Api::Error::notFound);
    const QString unknownId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const std::tuple<const char*, QString, QVariant, QString> cases[] = {
        {"no description", u"Save"_s, undescribed, invalid},
        {"enabled as text", u"Save"_s, with(u"Enabled"_s, u"yes"_s), invalid},
        {"unknown field", u"Save"_s, with(u"OnDemandRules"_s, 1), invalid},
        {"id that names a path", u"Save"_s, with(u"Id"_s, u"../../etc/passwd"_s), invalid},
        {"unknown id", u"Save"_s, with(u"Id"_s, unknownId), notFound},
        {"nested configuration", u"Save"_s,
         tunnelProfile(u"https://x/sub/t"_s, {{u"a"_s, QVariantMap{{u"b"_s, 1}}}}), invalid},
        {"huge description", u"Save"_s, with(u"LocalizedDescription"_s, QString(5000, u'x')),
         invalid},
        {"load of a path", u"Load"_s, u"../users"_s, notFound},
        {"start of nothing", u"Start"_s, QString(), notFound},
    };
    for (const auto& [what, method, argument, error] : cases)
        EXPECT_EQ(callTunneld(bus, method, {argument}).errorName(), error) << what;

    EXPECT_EQ(callTunneld(bus, u"Remove"_s, {id}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(callTunneld(bus, u"Load"_s, {id}).errorName(), notFound);
}

TEST(TunnelService, TunnelStatusFollowsTheProvider) {
    struct Case {
        QString behaviour;
        QStringList started; // statuses after Start
        QStringList stopped; // then after Stop (none: it went down by itself)
        QString logLine;
        QStringList arguments{u"--connect-timeout=5000"_s, u"--stop-timeout=400"_s};
    };
    const Case cases[] = {
        {u"normal"_s,
         {u"connecting"_s, u"connected"_s},
         {u"disconnecting"_s, u"disconnected"_s},
         u"provider exited with status 0"_s},
        {u"crash"_s,
         {u"connecting"_s, u"connected"_s, u"disconnected"_s},
         {},
         u"tunnel down: provider exited with status 3 (engine crashed for [redacted])"_s},
        {u"fail"_s,
         {u"connecting"_s, u"disconnected"_s},
         {},
         u"tunnel down: provider exited with status 1 (could not reach [redacted])"_s},
        {u"stubborn"_s,
         {u"connecting"_s, u"connected"_s},
         {u"disconnecting"_s, u"disconnected"_s},
         u"provider did not exit within 400 ms; killed"_s},
        {u"never"_s,
         {u"connecting"_s, u"disconnecting"_s, u"disconnected"_s},
         {},
         u"provider did not report the tunnel up within 600 ms"_s,
         {u"--connect-timeout=600"_s, u"--stop-timeout=400"_s}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour.toStdString());
        TunneldProcess::Options options;
        options.arguments = c.arguments;
        TunneldProcess service(options);
        ASSERT_TRUE(service.start());
        const QDBusConnection bus = service.bus();
        StatusRecorder statuses(bus);
        ReportDir reports;
        const QString report = reports.path(u"report"_s);
        const QString id = saveProfile(bus, profile(c.behaviour, report));
        ASSERT_TRUE(statuses.waitFor(id, {u"disconnected"_s}));
        statuses.clear();

        EXPECT_EQ(callTunneld(bus, u"Start"_s, {id}).type(), QDBusMessage::ReplyMessage);
        EXPECT_TRUE(statuses.waitFor(id, c.started)) << statuses.of(id).join(u' ').toStdString();
        const QJsonObject seen = c.behaviour == u"fail"_s ? QJsonObject() : readReport(report);
        if (!c.stopped.isEmpty()) {
            statuses.clear();
            EXPECT_EQ(callTunneld(bus, u"Stop"_s, {id}).type(), QDBusMessage::ReplyMessage);
            EXPECT_TRUE(statuses.waitFor(id, c.stopped))
                << statuses.of(id).join(u' ').toStdString();
        }
        EXPECT_TRUE(service.waitForLog(c.logLine)) << service.log().toStdString();
        EXPECT_EQ(tunnelStatus(bus, id), u"disconnected"_s);
        if (!seen.isEmpty()) {
            // The token reached the provider on stdin only, and the engine
            // went down with the provider's process group.
            EXPECT_EQ(seen[u"config"_s][u"subscription_url"_s].toString(), subscriptionURL);
            const QByteArray argvAndEnvironment =
                QJsonDocument(QJsonObject{{u"a"_s, seen[u"argv"_s]}, {u"e"_s, seen[u"environ"_s]}})
                    .toJson();
            EXPECT_FALSE(argvAndEnvironment.contains(token.toUtf8()));
            EXPECT_EQ(seen[u"argv"_s].toArray(), QJsonArray({u"--mode"_s, u"session"_s}));
            EXPECT_TRUE(waitForExit(seen[u"engine"_s].toInteger()));
        }
        service.stop();
        EXPECT_FALSE(service.log().contains(token)) << service.log().toStdString();
    }
}

TEST(TunnelService, StartsThatCannotRunAreRefused) {
    TunneldProcess::Options options;
    options.provider = u"/nonexistent/halvoran-tunnel"_s;
    TunneldProcess service(options);
    ASSERT_TRUE(service.start());
    const QDBusConnection bus = service.bus();
    const QString id = saveProfile(bus, profile());
    const QDBusMessage missing = callTunneld(bus, u"Start"_s, {id});
    EXPECT_EQ(missing.errorName(), QString(Api::Error::failed));
    EXPECT_TRUE(missing.errorMessage().contains(u"halvoran-tunnel is not installed"_s));

    QVariantMap disabled = profile();
    disabled.insert(u"Enabled"_s, false);
    EXPECT_EQ(callTunneld(bus, u"Start"_s, {saveProfile(bus, disabled)}).errorMessage(),
              u"The VPN profile is disabled."_s);
    EXPECT_EQ(tunnelStatus(bus, id), u"disconnected"_s);
}

TEST(TunnelService, NothingOutlivesACrashedService) {
    ReportDir reports;
    TunneldProcess::Options options;
    options.stateDir = reports.path(u"state"_s);
    auto service = std::make_unique<TunneldProcess>(options);
    ASSERT_TRUE(service->start());
    const QDBusConnection bus = service->bus();
    // One provider stops when the service dies; the other ignores SIGTERM
    // and is found by the next start.
    QList<QJsonObject> seen;
    QStringList ids;
    for (const QString& behaviour : {u"normal"_s, u"stubborn"_s}) {
        const QString report = reports.path(behaviour);
        const QString id = saveProfile(bus, profile(behaviour, report));
        ASSERT_EQ(callTunneld(bus, u"Start"_s, {id}).type(), QDBusMessage::ReplyMessage);
        seen << readReport(report);
        ids << id;
    }
    const qint64 stubborn = seen[1][u"pgid"_s].toInteger();
    // A second instance cannot have the name, and so must not touch the
    // first one's tunnels.
    {
        TunneldProcess second(options);
        second.start();
        EXPECT_TRUE(second.waitForLog(u"cannot own dev.morvel.vpn.Tunnel"_s));
    }
    EXPECT_EQ(tunnelStatus(bus, ids[1]), u"connected"_s);
    service->stop(SIGKILL);
    EXPECT_TRUE(waitForExit(seen[0][u"engine"_s].toInteger()));
    EXPECT_TRUE(processAlive(stubborn));

    service = std::make_unique<TunneldProcess>(options);
    ASSERT_TRUE(service->start());
    EXPECT_TRUE(waitForExit(stubborn));
    EXPECT_TRUE(waitForExit(seen[1][u"engine"_s].toInteger()));
    EXPECT_TRUE(service->waitForLog(u"left by an earlier run"_s));
    for (const QString& id : ids)
        EXPECT_EQ(tunnelStatus(bus, id), u"disconnected"_s);

    // A service told to stop lets the provider stop its engine first.
    const QString report = reports.path(u"last"_s);
    const QString last = saveProfile(bus, profile(u"normal"_s, report));
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {last}).type(), QDBusMessage::ReplyMessage);
    const qint64 engine = readReport(report)[u"engine"_s].toInteger();
    service->stop(SIGTERM);
    EXPECT_FALSE(processAlive(engine));
    EXPECT_TRUE(service->waitForLog(u"stopping (the service is stopping)"_s));
}

TEST(TunnelService, SystemModeKeepsEachUserToTheirOwnProfiles) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run as a second uid";
    setPolkitAllowed({});
    TunneldProcess::Options options;
    options.session = false;
    TunneldProcess service(options);
    ASSERT_TRUE(service.start());
    const QDBusConnection bus = service.bus();
    StatusRecorder statuses(bus);
    ReportDir reports;

    const auto approval = [&](bool interactive) {
        return callTunneld(bus, u"RequestApproval"_s, {interactive})
            .arguments()
            .value(0)
            .toString();
    };
    const auto refusal = [&](const QString& method, const QVariant& argument) {
        return callTunneld(bus, method, {argument}).errorName();
    };
    const QString notAuthorized(Api::Error::notAuthorized);

    // Not approved yet: polkit says no, and nothing may be saved.
    EXPECT_EQ(approval(false), QString(Api::needsApproval));
    EXPECT_EQ(refusal(u"Save"_s, profile()), notAuthorized);
    setPolkitAllowed({QString(Api::polkitAction)});
    EXPECT_EQ(approval(true), QString(Api::approved));
    const QString mine = saveProfile(bus, profile(u"normal"_s, reports.path(u"root"_s)));

    // The approval outlives the service, but not polkit's change of mind:
    // once it says no outright, the approval is gone and nothing starts.
    service.stop();
    ASSERT_TRUE(service.start());
    EXPECT_EQ(approval(false), QString(Api::approved));
    setPolkitAllowed({});
    EXPECT_EQ(refusal(u"Start"_s, mine), notAuthorized);
    EXPECT_EQ(refusal(u"Save"_s, profile()), notAuthorized);
    setPolkitAllowed({QString(Api::polkitAction)});
    EXPECT_EQ(approval(false), QString(Api::approved));

    QJsonObject foreign =
        QJsonObject::fromVariantMap(profile(u"normal"_s, reports.path(u"peer"_s)));
    foreign.insert(u"Id"_s, mine);
    const QJsonArray outcomes = callAsPeer({
        peerCall(u"LoadAll"_s, {}),
        peerCall(u"Load"_s, {mine}),
        peerCall(u"Status"_s, {mine}),
        peerCall(u"Start"_s, {mine}),
        peerCall(u"Stop"_s, {mine}),
        peerCall(u"Remove"_s, {mine}),
        peerCall(u"RequestApproval"_s, {false}),
        peerCall(u"Save"_s, {foreign}),
        peerCall(u"Save"_s,
                 {QJsonObject::fromVariantMap(profile(u"normal"_s, reports.path(u"peer"_s)))}),
    });
    ASSERT_EQ(outcomes.size(), 9);
    const QJsonValue notFound = peerError(QString(Api::Error::notFound));
    EXPECT_EQ(outcomes[0], peerOk(QJsonArray()));
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(outcomes[i], notFound) << i;
    EXPECT_EQ(outcomes[6], peerOk(QString(Api::approved)));
    EXPECT_EQ(outcomes[7], notFound);
    const QString theirs = outcomes[8][u"ok"_s].toString();
    ASSERT_FALSE(theirs.isEmpty()) << QJsonDocument(outcomes).toJson().toStdString();

    // Root's profile is untouched and root does not see the other's.
    const QList<QVariantMap> rootProfiles = loadAllProfiles(bus);
    ASSERT_EQ(rootProfiles.size(), 1);
    EXPECT_EQ(rootProfiles[0].value(u"Id"_s).toString(), mine);
    EXPECT_EQ(refusal(u"Load"_s, theirs), QString(Api::Error::notFound));

    // The peer's tunnel runs as the peer, with only the network capabilities.
    EXPECT_EQ(callOnceAsPeer(u"Start"_s, {theirs}), peerOk());
    const QJsonObject seen = readReport(reports.path(u"peer"_s));
    EXPECT_EQ(seen[u"uid"_s].toInteger(), peerUid);
    EXPECT_EQ(seen[u"argv"_s].toArray(), QJsonArray({u"--mode"_s, u"system"_s}));
    EXPECT_EQ(seen[u"environ"_s][u"HOME"_s].toString(), u"/nonexistent"_s);
    EXPECT_TRUE(statuses.of(theirs).isEmpty()) << "another user's status reached root";
    callOnceAsPeer(u"Stop"_s, {theirs});
    EXPECT_TRUE(waitForExit(seen[u"engine"_s].toInteger()));
}

// Run inside a network namespace of its own (see tests/CMakeLists.txt), where
// the test may change the default route.
TEST(TunnelService, ANewDefaultRouteReestablishesConnectedTunnels) {
    if (qEnvironmentVariable("HALVORAN_TEST_NETNS") != u"1"_s)
        GTEST_SKIP() << "runs only in a network namespace of its own";
    const auto ip = [](const QString& arguments) {
        QProcess process;
        process.start(u"ip"_s, arguments.split(u' '));
        return process.waitForFinished(5000) && process.exitCode() == 0;
    };
    // Documentation addresses on a veth pair of the namespace's own: nothing
    // leaves it.
    for (const QString& step :
         {u"link add hv0 type veth peer name hv1"_s, u"link set hv0 up"_s, u"link set hv1 up"_s,
          u"addr add 192.0.2.10/24 dev hv0"_s, u"route add default via 192.0.2.1"_s})
        ASSERT_TRUE(ip(step)) << step.toStdString();

    TunneldProcess service;
    ASSERT_TRUE(service.start());
    const QDBusConnection bus = service.bus();
    StatusRecorder statuses(bus);
    const QString id = saveProfile(bus, profile());
    ASSERT_EQ(callTunneld(bus, u"Start"_s, {id}).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(statuses.waitFor(id, {u"disconnected"_s, u"connecting"_s, u"connected"_s}));
    statuses.clear();

    // A route that is not the default changes nothing; a new gateway does.
    ASSERT_TRUE(ip(u"route add 198.51.100.0/24 via 192.0.2.2"_s));
    ASSERT_TRUE(ip(u"route replace default via 192.0.2.254"_s));
    EXPECT_TRUE(statuses.waitFor(id, {u"reasserting"_s, u"connected"_s}))
        << statuses.of(id).join(u' ').toStdString();
    EXPECT_TRUE(service.waitForLog(u"default route changed"_s));
}

#include "TunnelServiceTest.moc"
