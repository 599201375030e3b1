// halvoran-tunnel as the tunnel service runs it: a real process, its
// configuration on stdin, its status lines read from stdout, signals sent to
// it, and the stand-in engine on its PATH.
#include "service/provider/EffectiveConfig.h"
#include "service/provider/EngineRunner.h"
#include "service/provider/Privileges.h"
#include "service/provider/UserStore.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/service/ServiceConfig.h"
#include "tests/support/AnyUserCopy.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr char token[] = "TOKEN-7f3a9c";
const QByteArray profile = R"({"subscription_url":"http://127.0.0.1:47832/api/sub/TOKEN-7f3a9c"})";

// Whether process `pid` is gone, or a zombie waiting for whoever inherited it.
bool gone(int pid) {
    QFile status(u"/proc/%1/stat"_s.arg(pid));
    return !status.open(QIODevice::ReadOnly) || status.readAll().contains(") Z ");
}

// One run of the provider, with what it wrote and what the engine recorded.
class Provider {
public:
    struct Setup {
        QStringList arguments{u"--mode"_s, u"session"_s, u"--proxy-port"_s, u"47899"_s};
        QByteArray input = profile;
        QString engineMode = u"run"_s;
        bool engineOnPath = true;
        QString program = QStringLiteral(PROVIDER);
        QStringList wrapper; // a program that starts the provider (setpriv)
        QMap<QString, QString> environment;
    };

    Provider(const QTemporaryDir& dir, const Setup& setup)
        : m_record(dir.filePath(u"record"_s)) {
        QFile::remove(m_record);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The engine is looked up on the PATH, the stand-in's interpreter too.
        const QString bin = dir.filePath(setup.engineOnPath ? u"bin"_s : u"empty"_s);
        env.insert(u"PATH"_s, bin + u":/usr/bin:/bin"_s);
        env.insert(u"FAKE_SING_BOX_MODE"_s, setup.engineMode);
        // What a provider killed outright leaves behind stays in the test's folder.
        env.insert(u"XDG_RUNTIME_DIR"_s, dir.path());
        env.insert(u"FAKE_SING_BOX_RECORD"_s, m_record);
        for (auto it = setup.environment.begin(); it != setup.environment.end(); ++it)
            env.insert(it.key(), it.value());
        m_process.setProcessEnvironment(env);
        const QStringList command = setup.wrapper + QStringList{setup.program} + setup.arguments;
        m_process.start(command.first(), command.mid(1));
        EXPECT_TRUE(m_process.waitForStarted(5000));
        m_process.write(setup.input);
        m_process.closeWriteChannel();
    }
    ~Provider() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QStringList lines() {
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
        return QString::fromUtf8(m_out).split(u'\n', Qt::SkipEmptyParts);
    }
    bool waitForLines(qsizetype count) {
        return Async::waitUntil([&] { return lines().size() >= count; }, 10s);
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    // The exit code, or -1 when it did not end in time.
    int waitForExit() {
        if (!Async::waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, 10s))
            return -1;
        lines();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }
    QByteArray allOutput() {
        lines();
        return m_out + m_err;
    }
    // What the engine wrote to its record, one object per event.
    QList<QJsonObject> engineEvents() const {
        QFile file(m_record);
        QList<QJsonObject> events;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    events.append(QJsonDocument::fromJson(line).object());
            }
        }
        return events;
    }
    qsizetype stops() const {
        const QList<QJsonObject> events = engineEvents();
        return std::count_if(events.begin(), events.end(),
                             [](const QJsonObject& e) { return e["event"_L1] == u"stopped"_s; });
    }

private:
    QProcess m_process;
    QString m_record;
    QByteArray m_out;
    QByteArray m_err;
};

class ProviderProcess : public ::testing::Test {
protected:
    void SetUp() override {
        // A provider that exits early closes the pipe its input goes to.
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkpath(u"bin"_s);
        QDir(m_dir.path()).mkpath(u"empty"_s);
        ASSERT_TRUE(QFile::link(QStringLiteral(FAKE_ENGINE), m_dir.filePath(u"bin/sing-box"_s)));
        seedStore();
    }

    // The store as the app leaves it after an activation.
    static void seedStore() {
        SharedDefaults::saveLastConfig(QJsonDocument(serviceConfig()).toJson());
        SharedDefaults::setRoutingMode(SharedDefaults::RoutingMode::selective);
        SharedDefaults::setPreferredEdgeTag(u"de-fra-1"_s);
        QDir().mkpath(*RulesetCache::rulesetsDirectory());
        QFile set(*RulesetCache::localURL(u"youtube"_s));
        set.open(QIODevice::WriteOnly);
    }

    QTemporaryDir m_dir;
};

// Up, re-established with what the store says now, and down again; the
// engine is started, stopped and started as the lines say.
TEST_F(ProviderProcess, ConnectsReassertsAndStops) {
    Provider provider(m_dir, {});
    ASSERT_TRUE(provider.waitForLines(2)) << provider.allOutput().constData();
    EXPECT_EQ(provider.lines(), (QStringList{u"status connecting"_s, u"status connected"_s}));
    const QJsonObject first = provider.engineEvents().value(0)["config"_L1].toObject();
    EXPECT_EQ(first["inbounds"_L1][0]["listen_port"_L1], 47899);
    EXPECT_EQ(first["outbounds"_L1][0]["default"_L1], u"de-fra-1"_s);
    EXPECT_EQ(first["route"_L1]["rule_set"_L1][0]["path"_L1],
              *RulesetCache::localURL(u"youtube"_s));
    EXPECT_TRUE(SharedDefaults::lastExtensionDiag().value_or(QString()).contains(u" connected: "));
    EXPECT_EQ(SharedDefaults::lastBoundInterface(), u"fake0"_s);

    SharedDefaults::setRoutingMode(SharedDefaults::RoutingMode::global);
    provider.signal(SIGHUP);
    ASSERT_TRUE(provider.waitForLines(4)) << provider.allOutput().constData();
    EXPECT_EQ(provider.lines().mid(2),
              (QStringList{u"status reasserting"_s, u"status connected"_s}));
    const QList<QJsonObject> events = provider.engineEvents();
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[1]["event"_L1], u"stopped"_s); // the first engine ended before the second
    EXPECT_EQ(events[2]["config"_L1]["route"_L1]["final"_L1], u"de-fra-1"_s);

    provider.signal(SIGTERM);
    EXPECT_EQ(provider.waitForExit(), 0);
    EXPECT_EQ(provider.stops(), 2);
    EXPECT_EQ(provider.lines().size(), 4);
    EXPECT_TRUE(SharedDefaults::lastExtensionDiag().value_or(QString()).endsWith(u" stopped"));
    EXPECT_FALSE(provider.allOutput().contains(token));
}

// The configuration holds the edges' credentials: the engine gets exactly the
// one built, through an inherited descriptor, and none of it is left where
// the provider could write, even by a provider killed outright.
TEST_F(ProviderProcess, TheConfigurationReachesTheEngineOnlyInMemory) {
    const QByteArray edgeId = "5c0e7a1e-0000-4000-8000-000000000002";
    const QStringList places{m_dir.filePath(u"run"_s), m_dir.filePath(u"tmp"_s)};
    for (const QString& place : places)
        QDir().mkpath(place);
    const auto filesWithTheConfiguration = [&] {
        QStringList found;
        for (const QString& place : places) {
            QDirIterator it(place, QDir::Files | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                if (file.open(QIODevice::ReadOnly) && file.readAll().contains(edgeId))
                    found << file.fileName();
            }
        }
        return found;
    };
    Provider::Setup setup;
    setup.environment = {{u"XDG_RUNTIME_DIR"_s, places[0]}, {u"TMPDIR"_s, places[1]}};
    Provider provider(m_dir, setup);
    ASSERT_TRUE(provider.waitForLines(2)) << provider.allOutput().constData();
    const QJsonObject run = provider.engineEvents().value(0);
    const QStringList argv = run["argv"_L1].toVariant().toStringList();
    ASSERT_EQ(argv.size(), 3);
    EXPECT_EQ(argv.mid(0, 2), (QStringList{u"run"_s, u"-c"_s}));
    EXPECT_TRUE(QRegularExpression(u"^/proc/self/fd/[0-9]+$"_s).match(argv[2]).hasMatch())
        << argv[2].toStdString();
    const EffectiveConfig::Result built =
        EffectiveConfig::build(UserStore::read(EffectiveConfig::TunnelMode::session, 47899));
    EXPECT_EQ(run["config"_L1].toObject(), built.config);
    EXPECT_EQ(filesWithTheConfiguration(), QStringList());

    provider.signal(SIGKILL);
    EXPECT_EQ(provider.waitForExit(), -2);
    EXPECT_TRUE(Async::waitUntil([&] { return gone(run["pid"_L1].toInt()); }, 5s));
    EXPECT_EQ(filesWithTheConfiguration(), QStringList());
}

// An engine that writes without end still starts, and the log hears only
// some of it and how much was left out.
TEST_F(ProviderProcess, AFloodOfEngineLinesIsCappedInTheLog) {
    if (::access("/run/systemd/journal/socket", W_OK) == 0)
        GTEST_SKIP() << "the provider logs to the journal here, not to its stderr";
    Provider::Setup setup;
    setup.engineMode = u"flood"_s;
    Provider provider(m_dir, setup);
    ASSERT_TRUE(provider.waitForLines(2)) << provider.allOutput().right(2000).constData();
    provider.signal(SIGTERM);
    EXPECT_EQ(provider.waitForExit(), 0);
    const QByteArray output = provider.allOutput();
    EXPECT_GT(output.count("sing-box: INFO[0000] flood of lines"), 0);
    EXPECT_LT(output.count("sing-box: INFO[0000] flood of lines"), 1000);
    EXPECT_TRUE(output.contains("more lines suppressed (over 100 a second)"));
}

// Whatever goes wrong ends in one "error" line with a reason the user can act
// on and a non-zero exit; nothing pretends to connect, and the subscription
// URL shows nowhere.
TEST_F(ProviderProcess, FailuresEndInOneErrorLine) {
    struct Case {
        const char* what;
        std::function<void(Provider::Setup&)> prepare;
        QStringList before; // status lines before the error
        QString error;      // the error line begins so
    };
    const Case cases[] = {
        {"no engine",
         [](Provider::Setup& s) { s.engineOnPath = false; },
         {u"status connecting"_s},
         u"error sing-box is not installed: install the sing-box engine"_s},
        {"engine refuses",
         [](Provider::Setup& s) { s.engineMode = u"fail"_s; },
         {u"status connecting"_s},
         u"error sing-box could not start (exit status 1): FATAL[0000] start service"_s},
        {"engine never up",
         [](Provider::Setup& s) {
             s.engineMode = u"never"_s;
             s.arguments << u"--start-timeout-ms"_s << u"300"_s;
         },
         {u"status connecting"_s},
         u"error sing-box did not report that it had started within 0.3 seconds"_s},
        {"engine dies, again and again",
         [](Provider::Setup& s) { s.engineMode = u"exit-later"_s; },
         {u"status connecting"_s, u"status connected"_s, u"status reasserting"_s,
          u"status connected"_s, u"status reasserting"_s, u"status connected"_s,
          u"status reasserting"_s, u"status connected"_s},
         u"error sing-box stopped unexpectedly (exit status 3): ERROR[0001] dial tcp"_s},
        {"no configuration downloaded",
         [](Provider::Setup&) { SharedDefaults::clearAll(); },
         {u"status connecting"_s},
         u"error no configuration has been downloaded yet"_s},
        {"profile without URL",
         [](Provider::Setup& s) { s.input = "subscription=TOKEN-7f3a9c"; },
         {},
         u"error the profile's provider configuration holds no subscription URL"_s},
    };
    for (const Case& c : cases) {
        seedStore();
        Provider::Setup setup;
        c.prepare(setup);
        Provider provider(m_dir, setup);
        const int code = provider.waitForExit();
        EXPECT_GT(code, 0) << c.what;
        const QStringList lines = provider.lines();
        EXPECT_EQ(lines.mid(0, lines.size() - 1), c.before) << c.what;
        EXPECT_TRUE(lines.value(lines.size() - 1).startsWith(c.error))
            << c.what << ": " << provider.allOutput().constData();
        EXPECT_FALSE(provider.allOutput().contains(token)) << c.what;
    }
}

// The engine goes with the provider: asked politely, killed when it does not
// listen, and stopped even when the provider itself is killed outright.
TEST_F(ProviderProcess, TheEngineNeverOutlivesTheProvider) {
    struct Case {
        const char* what;
        QString engineMode;
        int signal;
        int exitCode;
        qsizetype stopsRecorded;
    };
    const Case cases[] = {
        {"stopped", u"run"_s, SIGTERM, 0, 1},
        {"ignores SIGTERM", u"stubborn"_s, SIGTERM, 0, 0},
        {"provider killed", u"run"_s, SIGKILL, -2, 1},
    };
    for (const Case& c : cases) {
        Provider::Setup setup;
        setup.engineMode = c.engineMode;
        setup.arguments << u"--stop-grace-ms"_s << u"300"_s;
        Provider provider(m_dir, setup);
        ASSERT_TRUE(provider.waitForLines(2)) << c.what;
        const int engine = provider.engineEvents().value(0)["pid"_L1].toInt();
        ASSERT_GT(engine, 0) << c.what;
        provider.signal(c.signal);
        EXPECT_EQ(provider.waitForExit(), c.exitCode) << c.what;
        EXPECT_TRUE(Async::waitUntil([&] { return gone(engine); }, 5s)) << c.what;
        EXPECT_EQ(provider.stops(), c.stopsRecorded) << c.what;
    }
}

// System mode as the tunnel service starts it: the provider as an
// unprivileged user with the two network capabilities as ambient ones, and
// the engine in a tree only root may change (under /run, as /tmp is not).
class SystemModeProvider : public ProviderProcess {
protected:
    void SetUp() override {
        ProviderProcess::SetUp();
        m_setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
        struct stat run {};
        if (::geteuid() != 0 || m_setpriv.isEmpty() || ::stat("/run", &run) != 0 ||
            run.st_uid != 0 || (run.st_mode & 022))
            GTEST_SKIP() << "needs root, setpriv and a /run of root's only";
        // A home of the unprivileged user, its store seeded as the app would.
        const QString data = home() + u"/data/Q7T2K9RW4M.group.dev.morvel.vpn"_s;
        QDir().mkpath(data + u"/rulesets"_s);
        QDir().mkpath(home() + u"/config"_s);
        QFile file(data + u"/last-config.json"_s);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(serviceConfig()).toJson());
        file.close();
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        QProcess::execute(u"chown"_s, {u"-R"_s, u"65534:65534"_s, home()});
        ASSERT_TRUE(m_trusted.isValid());
        ::chmod(QFile::encodeName(m_trusted.path()).constData(), 0755);
        engineIn(u"bin"_s);
        // The unprivileged user runs a copy, with its library beside it.
        copyForAnyUser(QStringLiteral(TESSALINE_LIBRARY));
        m_provider = copyForAnyUser(QStringLiteral(PROVIDER));
    }

    QString home() const { return m_dir.filePath(u"nobody"_s); }
    QString trusted(const QString& path) const { return m_trusted.filePath(path); }
    QStringList asNobody() const {
        return {m_setpriv, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
    }
    // A copy of the stand-in engine in `folder` of the trusted tree.
    void engineIn(const QString& folder) const {
        QDir().mkpath(trusted(folder));
        ASSERT_TRUE(QFile::copy(QStringLiteral(FAKE_ENGINE), trusted(folder + u"/sing-box"_s)));
    }
    void link(const QString& target, const QString& at) const {
        QDir().mkpath(QFileInfo(trusted(at)).path());
        ASSERT_TRUE(QFile::link(target, trusted(at)));
    }
    Provider::Setup setup(const QString& bin = u"bin"_s) const {
        Provider::Setup s;
        s.program = m_provider;
        s.arguments = QStringList{u"--mode"_s, u"system"_s};
        s.environment = {{u"XDG_CONFIG_HOME"_s, home() + u"/config"_s},
                         {u"XDG_DATA_HOME"_s, home() + u"/data"_s},
                         {u"FAKE_SING_BOX_RECORD"_s, home() + u"/record"_s},
                         {u"PATH"_s, trusted(bin) + u":/usr/bin:/bin"_s}};
        s.wrapper = asNobody() + QStringList{u"--inh-caps=+net_admin,+net_bind_service"_s,
                                             u"--ambient-caps=+net_admin,+net_bind_service"_s};
        return s;
    }

    QString m_setpriv;
    QString m_provider;
    QTemporaryDir m_trusted{u"/run/halvoran-provider-test-XXXXXX"_s};
};

// The two network capabilities reach the engine and nothing more; without
// them, or as root, the provider refuses.
TEST_F(SystemModeProvider, HandsTheEngineOnlyTheNetworkCapabilities) {
    Provider::Setup setup = this->setup();
    {
        Provider provider(m_dir, setup);
        ASSERT_TRUE(provider.waitForLines(2)) << provider.allOutput().constData();
        EXPECT_EQ(provider.lines().value(1), u"status connected"_s);
        // The engine's configuration, as the user would try to read it.
        QFile running(home() + u"/record"_s);
        ASSERT_TRUE(running.open(QIODevice::ReadOnly));
        const QJsonObject engine = QJsonDocument::fromJson(running.readLine()).object();
        const QString config = engine["argv"_L1][2].toString().replace(
            u"/proc/self/"_s, u"/proc/%1/"_s.arg(engine["pid"_L1].toInt()));
        const auto readable = [&](const QStringList& wrapper) {
            QProcess cat;
            cat.setStandardOutputFile(QProcess::nullDevice());
            const QStringList command = wrapper + QStringList{u"cat"_s, config};
            cat.start(command.first(), command.mid(1));
            return cat.waitForFinished(5000) && cat.exitCode() == 0;
        };
        EXPECT_TRUE(readable({})); // root may
        EXPECT_FALSE(readable(asNobody()));
        provider.signal(SIGTERM);
        EXPECT_EQ(provider.waitForExit(), 0);
    }
    QFile record(home() + u"/record"_s);
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QJsonObject run = QJsonDocument::fromJson(record.readLine()).object();
    const qint64 network = (qint64(1) << 12) | (qint64(1) << 10); // NET_ADMIN, NET_BIND_SERVICE
    EXPECT_EQ(run["uid"_L1].toInt(), 65534);
    EXPECT_EQ(qint64(run["CapAmb"_L1].toDouble()), network);
    EXPECT_EQ(qint64(run["CapEff"_L1].toDouble()), network);
    EXPECT_EQ(run["config"_L1]["inbounds"_L1][0]["type"_L1], u"tun"_s);

    const std::pair<QStringList, QString> refusals[] = {
        {asNobody(), u"error the tunnel needs the CAP_NET_ADMIN"_s},
        {{}, u"error halvoran-tunnel must not run as root in system"_s},
    };
    for (const auto& [wrapper, error] : refusals) {
        setup.wrapper = wrapper;
        Provider provider(m_dir, setup);
        EXPECT_EQ(provider.waitForExit(), 1);
        EXPECT_TRUE(provider.lines().value(provider.lines().size() - 1).startsWith(error))
            << provider.allOutput().constData();
    }
}

// An engine that anyone but root could replace, anywhere on its way, would
// run that someone's code with the capabilities: it is refused.
TEST_F(SystemModeProvider, RunsOnlyAnEngineNobodyButRootCanReplace) {
    link(u"../bin/sing-box"_s, u"linked/sing-box"_s);
    link(u"../user/sing-box"_s, u"hop/sing-box"_s);
    link(trusted(u"bin/sing-box"_s), u"user/sing-box"_s);
    engineIn(u"open/bin"_s);
    engineIn(u"sticky/bin"_s);
    engineIn(u"mine"_s);
    ::chmod(QFile::encodeName(trusted(u"open"_s)).constData(), 0777);
    ::chmod(QFile::encodeName(trusted(u"sticky"_s)).constData(), 01777);
    for (const QString& folder : {u"user"_s, u"mine"_s})
        QProcess::execute(u"chown"_s, {u"-R"_s, u"65534:65534"_s, trusted(folder)});
    struct Case {
        QString bin;
        QString refusal; // the folder named in the error; empty when it connects
    };
    const Case cases[] = {
        {u"bin"_s, {}},
        {u"linked"_s, {}},
        {u"hop"_s, u"/user"_s},
        {u"open/bin"_s, u"/open"_s},
        {u"sticky/bin"_s, u"/sticky"_s},
        {u"mine"_s, u"/mine"_s},
    };
    for (const Case& c : cases) {
        Provider provider(m_dir, setup(c.bin));
        const QString error = u"error the tunnel will not give sing-box network privileges: "_s;
        if (c.refusal.isEmpty()) {
            ASSERT_TRUE(provider.waitForLines(2)) << provider.allOutput().constData();
            EXPECT_EQ(provider.lines().value(1), u"status connected"_s) << c.bin.toStdString();
            provider.signal(SIGTERM);
            EXPECT_EQ(provider.waitForExit(), 0) << c.bin.toStdString();
        } else {
            EXPECT_EQ(provider.waitForExit(), 1) << c.bin.toStdString();
            const QString last = provider.lines().value(provider.lines().size() - 1);
            EXPECT_TRUE(last.startsWith(error) &&
                        last.contains(c.refusal + u" may be changed by someone other than root"))
                << c.bin.toStdString() << ": " << last.toStdString();
        }
    }
}

// What runs is the file that was checked, even when its name leads elsewhere
// by the time the engine starts.
TEST_F(SystemModeProvider, TheEngineCheckedIsTheEngineThatRuns) {
    engineIn(u"a"_s);
    QDir().mkpath(trusted(u"b"_s));
    QFile swapped(trusted(u"b/sing-box"_s));
    ASSERT_TRUE(swapped.open(QIODevice::WriteOnly));
    swapped.write("#!/bin/sh\ntouch \"$0.ran\"\necho 'INFO sing-box started' >&2\nexec sleep 30\n");
    swapped.close();
    swapped.setPermissions(QFileDevice::Permissions(0x7555));
    link(u"a"_s, u"current"_s);
    QString problem;
    Privileges::Descriptor checked =
        Privileges::openProgram(trusted(u"current/sing-box"_s), true, &problem);
    ASSERT_TRUE(checked.isValid()) << problem.toStdString();
    QFile::remove(trusted(u"current"_s));
    link(u"b"_s, u"current"_s);

    qputenv("FAKE_SING_BOX_RECORD", QFile::encodeName(m_dir.filePath(u"record"_s)));
    EngineRunner engine({trusted(u"current/sing-box"_s), std::move(checked), "{}", 5s, 1s});
    bool up = false;
    QObject::connect(&engine, &EngineRunner::ready, [&] { up = true; });
    engine.start();
    EXPECT_TRUE(Async::waitUntil([&] { return up; }, 5s));
    engine.stop();
    qunsetenv("FAKE_SING_BOX_RECORD");
    EXPECT_FALSE(QFile::exists(trusted(u"b/sing-box.ran"_s)));
    QFile record(m_dir.filePath(u"record"_s));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(record.readLine())["event"_L1], u"run"_s);
}

} // namespace
