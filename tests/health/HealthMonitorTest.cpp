#include "shared/health/HealthMonitor.h"

#include "shared/net/NetworkAccess.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Route = HttpFixture::Route;

namespace {

class HealthMonitorTest : public ::testing::Test {
protected:
    HealthMonitor& monitor(const QStringList& probed) {
        QHash<QString, QUrl> probes;
        for (const QString& name : probed)
            probes.insert(name, server.url(u"/"_s + name));
        m_monitor =
            std::make_unique<HealthMonitor>(probes, clock, NetworkAccessFactory::standard());
        QObject::connect(m_monitor.get(), &HealthMonitor::statusesChanged, [this] {
            for (const RulesetHealth& h : m_monitor->statuses())
                if (history[h.ruleset].isEmpty() || history[h.ruleset].last() != h.status)
                    history[h.ruleset].append(h.status);
        });
        return *m_monitor;
    }
    HealthStatus status(const QString& name) const {
        return m_monitor->statuses().value(name).status;
    }
    bool settle(const QString& name, HealthStatus wanted) {
        return Async::waitUntil([&] { return m_monitor->statuses().value(name).status == wanted; });
    }

    // Lets the ended loop and its aborted probes unwind before the next test.
    void TearDown() override {
        m_monitor.reset();
        Async::waitUntil([] { return false; }, std::chrono::milliseconds(50));
    }

    bool requestsArrived(qsizetype count) {
        return Async::waitUntil([&] { return server.requests().size() >= count; });
    }

    HttpFixture server;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    QHash<QString, QList<HealthStatus>> history;
    std::unique_ptr<HealthMonitor> m_monitor;
};

TEST_F(HealthMonitorTest, FirstSweepShowsProbingThenTheVerdict) {
    server.route("HEAD", u"/youtube"_s, Route::answer(405, ""));
    server.route("HEAD", u"/code"_s, Route::hold(200));
    server.route("HEAD", u"/streaming"_s, Route::drop());
    server.route("HEAD", u"/aiplatforms"_s, Route::hang());
    HealthMonitor& m = monitor({u"youtube"_s, u"code"_s, u"streaming"_s, u"aiplatforms"_s});
    LogCapture log;
    m.start(
        {u"ipcheck"_s, u"youtube"_s, u"code"_s, u"streaming"_s, u"aiplatforms"_s, u"noprobe"_s});
    // The quick answers are in before the clock moves; two probes stay in flight.
    ASSERT_TRUE(settle(u"youtube"_s, HealthStatus::healthy));
    ASSERT_TRUE(settle(u"streaming"_s, HealthStatus::down));
    ASSERT_TRUE(requestsArrived(4));
    // The held answer comes 1501 ms late: just slow enough to count as degraded.
    clock->advance(1501ms);
    server.release();
    ASSERT_TRUE(settle(u"code"_s, HealthStatus::degraded));
    // The silent one is given up on after 8 seconds without progress.
    clock->advance(6499ms);

    EXPECT_TRUE(settle(u"youtube"_s, HealthStatus::healthy));
    EXPECT_TRUE(settle(u"code"_s, HealthStatus::degraded));
    EXPECT_TRUE(settle(u"streaming"_s, HealthStatus::down));
    EXPECT_TRUE(settle(u"aiplatforms"_s, HealthStatus::down));
    m.stop();

    using S = HealthStatus;
    EXPECT_EQ(history[u"youtube"_s], (QList<S>{S::unknown, S::probing, S::healthy}));
    EXPECT_EQ(history[u"noprobe"_s], QList<S>{S::unknown});
    EXPECT_FALSE(m.statuses().contains(u"ipcheck"_s));
    EXPECT_EQ(m.statuses()[u"code"_s].latencyMs, 1501);
    EXPECT_EQ(m.statuses()[u"youtube"_s].latencyMs, 0);
    const RulesetHealth down = m.statuses()[u"aiplatforms"_s];
    EXPECT_EQ(down.latencyMs, std::nullopt);
    EXPECT_TRUE(down.checkedAt.has_value());

    const QStringList lines = log.lines(u"health"_s);
    EXPECT_EQ(lines.first(), u"start(youtube,code,streaming,aiplatforms,noprobe)"_s);
    const auto has = [&](const QString& pattern) {
        return std::any_of(lines.begin(), lines.end(), [&](const QString& l) {
            return QRegularExpression(u'^' + pattern + u'$').match(l).hasMatch();
        });
    };
    EXPECT_TRUE(has(uR"(probe youtube → healthy \[405, 0ms\])"_s))
        << lines.join(u'\n').toStdString();
    EXPECT_TRUE(has(uR"(probe code → degraded \[200, 1501ms\])"_s));
    EXPECT_TRUE(has(uR"(error: probe streaming failed: .+)"_s));
    EXPECT_TRUE(has(uR"(error: probe aiplatforms failed: The request timed out\.)"_s));
    EXPECT_EQ(server.count("HEAD", u"/noprobe"_s), 0);
    EXPECT_EQ(server.count("HEAD", u"/ipcheck"_s), 0);
}

TEST_F(HealthMonitorTest, LaterSweepsKeepTheLastVerdictAndWaitThirtySeconds) {
    server.route("HEAD", u"/youtube"_s, Route::answer(200, ""));
    HealthMonitor& m = monitor({u"youtube"_s});
    m.start({u"youtube"_s});
    ASSERT_TRUE(settle(u"youtube"_s, HealthStatus::healthy));
    clock->advance(29'999ms);
    Async::waitUntil([] { return false; }, 50ms);
    EXPECT_EQ(server.count("HEAD", u"/youtube"_s), 1);
    clock->advance(1ms);
    ASSERT_TRUE(requestsArrived(2));
    ASSERT_TRUE(Async::waitUntil([&] { return clock->pendingTimers() == 1; })); // the next pause
    clock->advance(30s);
    ASSERT_TRUE(requestsArrived(3));
    m.stop();
    EXPECT_EQ(history[u"youtube"_s].count(HealthStatus::probing), 1);
    EXPECT_NE(history[u"youtube"_s].last(), HealthStatus::probing);
}

// A probe cut short by stop() or by a restart measured nothing: it neither
// writes nor logs, on a first sweep (probing) or a later one (last verdict).
struct CutShortRow {
    const char* name;
    bool laterSweep;
    bool restart; // start() again instead of stop()
    HealthStatus expected;
};

class CutShort : public HealthMonitorTest, public ::testing::WithParamInterface<CutShortRow> {};

TEST_P(CutShort, WritesAndLogsNothing) {
    const CutShortRow& row = GetParam();
    server.route("HEAD", u"/youtube"_s, row.laterSweep ? Route::answer(200, "") : Route::hang());
    HealthMonitor& m = monitor({u"youtube"_s});
    m.start({u"youtube"_s});
    if (row.laterSweep) {
        ASSERT_TRUE(settle(u"youtube"_s, HealthStatus::healthy));
        server.route("HEAD", u"/youtube"_s, Route::hang());
        clock->advance(30s);
        ASSERT_TRUE(requestsArrived(2));
    }
    ASSERT_TRUE(
        settle(u"youtube"_s, row.laterSweep ? HealthStatus::healthy : HealthStatus::probing));
    LogCapture log;
    if (row.restart) {
        server.route("HEAD", u"/youtube"_s, Route::hold(200));
        m.start({u"youtube"_s});
    } else {
        m.stop();
    }
    Async::waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(status(u"youtube"_s), row.expected);
    EXPECT_FALSE(history[u"youtube"_s].contains(HealthStatus::down));
    for (const QString& line : log.lines(u"health"_s))
        EXPECT_FALSE(line.startsWith(u"error:"_s)) << line.toStdString();
    server.release();
}

INSTANTIATE_TEST_SUITE_P(
    Table, CutShort,
    ::testing::Values(CutShortRow{"StopOnTheFirstSweep", false, false, HealthStatus::unknown},
                      CutShortRow{"StopOnALaterSweep", true, false, HealthStatus::healthy},
                      CutShortRow{"RestartOnTheFirstSweep", false, true, HealthStatus::probing},
                      CutShortRow{"RestartOnALaterSweep", true, true, HealthStatus::probing}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HealthMonitorTest, ARulesetNameCannotForgeLogLines) {
    const QString forged = u"evil\nprobe code → healthy [200, 1ms]"_s;
    server.route("HEAD", u"/evil"_s, Route::answer(200, ""));
    HealthMonitor m({{forged, server.url(u"/evil"_s)}}, clock, NetworkAccessFactory::standard());
    LogCapture log;
    m.start({forged});
    ASSERT_TRUE(
        Async::waitUntil([&] { return m.statuses()[forged].status == HealthStatus::healthy; }));
    const QStringList lines = log.lines(u"health"_s);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], u"start(evil\\x0aprobe code → healthy [200, 1ms])"_s);
    EXPECT_TRUE(lines[1].startsWith(u"probe evil\\x0aprobe code"_s)) << lines[1].toStdString();
}

TEST_F(HealthMonitorTest, RestartResetsOnlyTheNewNames) {
    server.route("HEAD", u"/youtube"_s, Route::answer(200, ""));
    server.route("HEAD", u"/code"_s, Route::hang());
    HealthMonitor& m = monitor({u"youtube"_s, u"code"_s});
    m.start({u"youtube"_s});
    ASSERT_TRUE(settle(u"youtube"_s, HealthStatus::healthy));
    m.start({u"code"_s});
    EXPECT_EQ(status(u"youtube"_s), HealthStatus::healthy);
    EXPECT_EQ(status(u"code"_s), HealthStatus::unknown);
    m.stop();
    m.stop(); // stopping twice is harmless
    EXPECT_EQ(status(u"code"_s), HealthStatus::unknown);
}

} // namespace
