// The demo service as the app meets it: the library's own API client and
// rule-set cache against it, at the service address the tests are built with.
#include "service/demo/DemoService.h"

#include "service/provider/EffectiveConfig.h"
#include "shared/api/APIClient.h"
#include "shared/net/HttpSession.h"
#include "shared/net/NetworkAccess.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/settings/Constants.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class DemoServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, HttpFixture::servicePort()))
            << server.errorString().toStdString();
    }

    QUrl activate(const QString& code) {
        const ActivationResponse answer = Async::run(client.activate(code, u"device-1"_s));
        // As the app does with a path: appended to the service's address.
        return QUrl(Constants::apiBaseURL().toString() + answer.subscriptionUrl());
    }
    SubscriptionFetch fetch(const QUrl& url) { return Async::run(client.fetchSubscription(url)); }
    template <typename Call> APIError errorOf(Call call) {
        try {
            call();
        } catch (const APIError& error) {
            return error;
        }
        ADD_FAILURE() << "the call succeeded";
        return APIError::noToken();
    }

    // The status the server answers `request` with, sent as raw bytes.
    int rawStatus(const QByteArray& request) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        socket.write(request);
        QByteArray answer;
        Async::waitUntil([&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") || socket.state() == QTcpSocket::UnconnectedState;
        });
        answer += socket.readAll();
        return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : -1;
    }

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    QTemporaryDir stateDir;
    const QString stateFile = stateDir.filePath(u"subscriptions.json"_s);
    std::unique_ptr<DemoService> service =
        std::make_unique<DemoService>(Constants::apiBaseURL(), clock, stateFile);
    HttpServer server{[this](const HttpRequest& request) { return service->handle(request); }};
    APIClient client{clock, NetworkAccessFactory::standard()};
};

// The demo code gives a subscription with three edges and its rule-sets,
// expiring in 30 days; its files download; and the configuration passes the
// provider's allow-list with all of it intact.
TEST_F(DemoServiceTest, TheDemoCodeGivesAWorkingSubscription) {
    const QUrl url = activate(u"DEMO-2026"_s);
    ASSERT_TRUE(subscriptionToken(url).has_value());
    const SubscriptionFetch fetched = fetch(url);
    EXPECT_EQ(fetched.metadata.edges().size(), 3);
    const QStringList sets = fetched.metadata.rulesetNames();
    ASSERT_FALSE(sets.isEmpty());
    EXPECT_EQ(fetched.metadata.expiresAt(), clock->now().addDays(30));

    const auto session = RulesetCache::makeDownloadSession(clock, NetworkAccessFactory::standard());
    Async::run(RulesetCache::refresh(sets, 0, *session));
    for (const QString& tag : sets)
        EXPECT_TRUE(QFile::exists(*RulesetCache::localURL(tag))) << tag.toStdString();

    EffectiveConfig::Inputs inputs;
    inputs.lastConfig = fetched.data;
    inputs.rulesetPath = [](const QString& tag) { return RulesetCache::localURL(tag); };
    const EffectiveConfig::Result built = EffectiveConfig::build(inputs);
    EXPECT_EQ(built.rulesets, sets);
    EXPECT_EQ(built.config["outbounds"_L1].toArray().size(), 5);

    // What the demo build probes and reads in place of the outside world.
    EXPECT_EQ(rawStatus("HEAD /probe/youtube HTTP/1.1\r\n\r\n"), 204);
    EXPECT_EQ(rawStatus("HEAD /probe/elsewhere HTTP/1.1\r\n\r\n"), 404);
    EXPECT_EQ(rawStatus("GET /appcast.xml HTTP/1.1\r\n\r\n"), 200);
}

// The answers the app must tell apart: a wrong code, and a subscription the
// service no longer serves (withdrawn, expired, or never issued). The log
// shows every request, and no token.
TEST_F(DemoServiceTest, WrongCodesAndWithdrawnSubscriptions) {
    const LogCapture log;
    const APIError wrong = errorOf([&] { activate(u"DEMO-2025"_s); });
    EXPECT_TRUE(wrong.isUnauthorized());
    EXPECT_EQ(wrong.errorDescription(), u"Invalid activation code"_s);

    const QUrl withdrawn = activate(u"DEMO-2026"_s);
    const QUrl kept = activate(u"DEMO-2026"_s);
    EXPECT_NE(withdrawn, kept);
    EXPECT_EQ(rawStatus("POST /demo/withdraw/" + subscriptionToken(withdrawn)->toLatin1() +
                        " HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
              204);
    const QUrl unknown(Constants::apiBaseURL().toString() + u"/api/sub/never-issued"_s);
    for (const QUrl& url : {withdrawn, unknown}) {
        const APIError gone = errorOf([&] { fetch(url); });
        EXPECT_TRUE(gone.isSubscriptionGone()) << url.path().toStdString();
        EXPECT_EQ(gone.errorDescription(), u"Subscription expired"_s);
    }
    fetch(kept);
    // A restart of the demo keeps both: the app stays activated.
    service = std::make_unique<DemoService>(Constants::apiBaseURL(), clock, stateFile);
    fetch(kept);
    EXPECT_TRUE(errorOf([&] { fetch(withdrawn); }).isSubscriptionGone());
    clock->advance(std::chrono::hours(24 * 30));
    EXPECT_TRUE(errorOf([&] { fetch(kept); }).isSubscriptionGone());

    const QStringList lines = log.lines(u"demo"_s);
    EXPECT_EQ(lines.mid(3, 2),
              (QStringList{u"POST /demo/withdraw/<token> 204"_s, u"GET /api/sub/<token> 410"_s}));
    for (const QUrl& url : {withdrawn, kept})
        EXPECT_FALSE(lines.join(u'\n').contains(*subscriptionToken(url)));
}

// Garbage, oversized and unsupported requests get a fitting status and
// never reach further; the server keeps serving afterwards.
TEST_F(DemoServiceTest, HostileRequestsAreRefused) {
    const auto activation = [](const QByteArray& body) -> QByteArray {
        return "POST /api/activate HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\n\r\n" + body;
    };
    const std::pair<QByteArray, int> cases[] = {
        {"GARBAGE\r\n\r\n", 400},
        {QByteArray("\x00\xff\xfe junk\r\n\r\n", 12), 400},
        {"GET relative HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET /api/sub/x HTTP/1.1\r\nno colon here\r\n\r\n", 400},
        {"GET /api/sub/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"POST /api/activate HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST /api/activate HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
        {"POST /api/activate HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", 413},
        {"GET /x HTTP/1.1\r\nX-Pad: " + QByteArray(20000, 'a') + "\r\n\r\n", 431},
        {activation("[1]"), 422},
        {activation(R"({"code":1,"device_id":"d"})"), 422},
        {activation(R"({"code":"DEMO-2026","device_id":""})"), 422},
        {"GET /api/activate HTTP/1.1\r\n\r\n", 405},
        {"PUT /api/sub/x HTTP/1.1\r\n\r\n", 405},
        {"GET /rulesets/../../etc/passwd.srs HTTP/1.1\r\n\r\n", 404},
        {"GET /rulesets/unknown.srs HTTP/1.1\r\n\r\n", 404},
        {"GET /rulesets/youtube HTTP/1.1\r\n\r\n", 404},
        {"POST /demo/withdraw/unknown HTTP/1.1\r\n\r\n", 404},
    };
    for (const auto& [request, status] : cases)
        EXPECT_EQ(rawStatus(request), status) << request.left(60).toStdString();
    EXPECT_EQ(rawStatus("GET /rulesets/youtube.srs?v=1 HTTP/1.1\r\n\r\n"), 200);
}

} // namespace
