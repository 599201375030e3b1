#include "shared/api/APIClient.h"

#include "shared/api/DeviceID.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/SettingsSuite.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Route = HttpFixture::Route;

namespace {

class APIClientTest : public ::testing::Test {
protected:
    void SetUp() override { SharedDefaults::clearAll(); }

    ActivationResponse activate() {
        return Async::run(client.activate(u"CODE-1"_s, u"device-1"_s));
    }
    SubscriptionFetch fetch(const QUrl& url) { return Async::run(client.fetchSubscription(url)); }

    APIError activationError() {
        try {
            activate();
        } catch (const APIError& error) {
            return error;
        }
        ADD_FAILURE() << "activation succeeded";
        return APIError::noToken();
    }

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    APIClient client{clock, NetworkAccessFactory::standard()};
};

// Starts `task`, lets `server` receive its request, then moves the clock on.
template <typename T>
T runPast(QCoro::Task<T> task, const HttpFixture& server, std::chrono::milliseconds span,
          ManualClock& clock) {
    const qsizetype before = server.requests().size();
    EXPECT_TRUE(Async::waitUntil([&] { return server.requests().size() > before; }));
    clock.advance(span);
    return Async::run(std::move(task));
}

const QByteArray config =
    R"({"outbounds":[{"type":"vless","tag":"nl-ams-1","server":"a.example","server_port":443},
    {"type":"direct","tag":"direct"}],"route":{"rule_set":[{"tag":"youtube"},{"tag":"ipcheck"}]}})";

TEST_F(APIClientTest, ActivationPostsTheCodeAndDeviceAndReadsTheAnswer) {
    HttpFixture service(HttpFixture::servicePort());
    service.route(
        "POST", u"/api/activate"_s,
        Route::answer(
            200, R"({"subscription_url":"/api/sub/tok123","expires_at":"2026-07-01T12:00:00Z"})"));
    const ActivationResponse answer = activate();
    EXPECT_EQ(answer.subscriptionUrl(), u"/api/sub/tok123"_s);
    EXPECT_EQ(answer.expiresAt(), QDateTime(QDate(2026, 7, 1), QTime(12, 0), Qt::UTC));

    ASSERT_EQ(service.requests().size(), 1);
    const HttpFixture::Request& request = service.requests().first();
    EXPECT_EQ(request.body, R"({"code":"CODE-1","device_id":"device-1"})");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), QByteArray());
}

TEST_F(APIClientTest, ErrorAnswersCarryTheServiceMessage) {
    struct Case {
        int status;
        QByteArray body;
        const char* description;
        bool gone;
    };
    const Case cases[] = {
        {401, R"({"detail":"invalid activation code"})", "Invalid activation code", false},
        {422, R"({"detail":[{"loc":["body"],"msg":"field required"},{"msg":"second"}]})",
         "Field required", false},
        {422, R"({"detail":[]})", "Request failed (HTTP 422)", false},
        {422, R"({"detail":[{"msg":7}]})", "Request failed (HTTP 422)", false},
        {400, R"({"detail":{"msg":"nested"}})", "Request failed (HTTP 400)", false},
        {400, R"(["detail"])", "Request failed (HTTP 400)", false},
        {500, "Internal Server Error", "Request failed (HTTP 500)", false},
        {400, R"({"detail":""})", "", false},
        {410, "", "Request failed (HTTP 410)", true},
        {404, R"({"detail":"Subscription TOKEN revoked"})", "Subscription TOKEN revoked", true},
        {404, R"({"detail":"not found"})", "Not found", false},
        {404, "", "Request failed (HTTP 404)", false},
        {302, "", "Request failed (HTTP 302)", false},
        // Qt reports these as network failures of its own; the server answered all the same.
        {407, R"({"detail":"proxy says no"})", "Proxy says no", false},
        {405, "", "Request failed (HTTP 405)", false},
    };
    HttpFixture service(HttpFixture::servicePort());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.toStdString());
        service.route("POST", u"/api/activate"_s, Route::answer(c.status, c.body));
        const APIError error = activationError();
        EXPECT_EQ(error.kind(), APIError::Kind::http);
        EXPECT_EQ(error.status(), c.status);
        EXPECT_EQ(error.errorDescription(), QString::fromUtf8(c.description));
        EXPECT_EQ(error.isSubscriptionGone(), c.gone);
        EXPECT_EQ(error.isUnauthorized(), c.status == 401);
    }
}

TEST_F(APIClientTest, SuccessBodiesThatDoNotDecodeSayWhere) {
    const std::pair<QByteArray, const char*> cases[] = {
        {"", "Bad server response: the data is not valid JSON: there is no value"},
        {R"({"subscription_url":"/s"})", "Bad server response: missing key \"expiresAt\""},
        {R"({"subscription_url":"/s","expires_at":"tomorrow"})",
         "Bad server response: unparsable date tomorrow at expiresAt"},
    };
    HttpFixture service(HttpFixture::servicePort());
    for (const auto& [body, description] : cases) {
        service.route("POST", u"/api/activate"_s, Route::answer(201, body));
        const APIError error = activationError();
        EXPECT_EQ(error.kind(), APIError::Kind::decoding);
        EXPECT_EQ(error.errorDescription(), QString::fromUtf8(description));
    }
}

TEST_F(APIClientTest, ActivationThatCannotCompleteIsATransportError) {
    {
        HttpFixture service(HttpFixture::servicePort());
        service.route("POST", u"/api/activate"_s, Route::hang());
        // The 30-second cap on a whole exchange ends it, though each request may idle for 60.
        auto silent = client.activate(u"CODE-1"_s, u"device-1"_s);
        try {
            runPast(std::move(silent), service, 30s, *clock);
            ADD_FAILURE() << "a silent server was not given up on";
        } catch (const APIError& error) {
            EXPECT_EQ(error.kind(), APIError::Kind::transport);
            EXPECT_EQ(error.errorDescription(), u"Network error: The request timed out."_s);
        }

        service.route("POST", u"/api/activate"_s, Route::drop());
        EXPECT_EQ(activationError().kind(), APIError::Kind::transport);
    }
    // Nobody listens any more.
    const APIError refused = activationError();
    EXPECT_EQ(refused.kind(), APIError::Kind::transport);
    EXPECT_TRUE(refused.errorDescription().startsWith(u"Network error: Connection refused"_s))
        << refused.errorDescription().toStdString();
}

TEST_F(APIClientTest, FetchCondensesTheConfigurationAndKeepsItVerbatim) {
    HttpFixture server;
    const std::pair<QByteArray, std::optional<QDateTime>> expiries[] = {
        {"2026-01-31T23:59:59Z", QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59), Qt::UTC)},
        {"2026-01-31", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [header, expiry] : expiries) {
        SCOPED_TRACE(header.toStdString());
        server.route(
            "GET", u"/api/sub/tok"_s,
            header.isEmpty()
                ? Route::answer(200, config)
                : Route::answer(200, config).withHeader("x-subscription-expires-at", header));
        const SubscriptionFetch fetched = fetch(server.url(u"/api/sub/tok"_s));
        EXPECT_EQ(fetched.data, config);
        EXPECT_EQ(fetched.metadata.edges(),
                  (QList<EdgeInfo>{{u"nl-ams-1"_s, u"1"_s, u"a.example"_s}}));
        EXPECT_EQ(fetched.metadata.rulesetNames(), (QStringList{u"youtube"_s, u"ipcheck"_s}));
        EXPECT_EQ(fetched.metadata.expiresAt(), expiry);
        EXPECT_EQ(fetched.metadata.fetchedAt(), clock->now());
        EXPECT_EQ(SharedDefaults::loadLastConfig(), config);
    }
}

TEST_F(APIClientTest, FailedFetchLeavesTheLastConfigAlone) {
    SharedDefaults::saveLastConfig("previous");
    HttpFixture server;
    server.route("GET", u"/gone"_s, Route::answer(410, R"({"detail":"subscription expired"})"));
    server.route("GET", u"/garbage"_s, Route::answer(200, "<html>"));
    server.route("GET", u"/drop"_s, Route::drop());
    server.route("GET", u"/hang"_s, Route::hang());

    EXPECT_THROW(fetch(server.url(u"/gone"_s)), APIError);
    EXPECT_THROW(fetch(server.url(u"/garbage"_s)), APIError);
    // The fetch's own transport failures are the HTTP layer's, not the client's.
    EXPECT_THROW(fetch(server.url(u"/drop"_s)), HttpError);
    try {
        runPast(client.fetchSubscription(server.url(u"/hang"_s), 2.0), server, 2s, *clock);
        ADD_FAILURE() << "a silent server was not given up on";
    } catch (const HttpError& error) {
        EXPECT_TRUE(error.timedOut());
        EXPECT_EQ(error.description(), u"The request timed out."_s);
    }
    EXPECT_EQ(SharedDefaults::loadLastConfig(), "previous");
}

QCoro::Task<void> noteReturn(QCoro::Task<SubscriptionFetch> fetch, QByteArray* lastReturned) {
    const SubscriptionFetch fetched = co_await fetch;
    *lastReturned = fetched.data;
}

TEST_F(APIClientTest, OverlappingFetchesLeaveTheConfigurationOfTheLastToReturn) {
    // A large answer's file write takes long, and a small one completes during
    // it: the file must still end as the configuration whose metadata the
    // caller received last.
    const QByteArray large = R"({"outbounds":[],"pad":")" + QByteArray(16 << 20, 'p') + R"("})";
    const QByteArray small = R"({"outbounds":[]})";
    HttpFixture server;
    server.route("GET", u"/api/sub/large"_s, Route::answer(200, large));
    server.route("GET", u"/api/sub/small"_s, Route::answer(200, small, 40));
    QByteArray lastReturned;
    auto first =
        noteReturn(client.fetchSubscription(server.url(u"/api/sub/large"_s)), &lastReturned);
    auto second =
        noteReturn(client.fetchSubscription(server.url(u"/api/sub/small"_s)), &lastReturned);
    Async::run(std::move(first));
    Async::run(std::move(second));
    EXPECT_EQ(SharedDefaults::loadLastConfig()->size(), lastReturned.size());
}

TEST_F(APIClientTest, AnExchangeInFlightEndsWhenItsSessionGoes) {
    HttpFixture server;
    server.route("GET", u"/hang"_s, Route::hang());
    auto session = std::make_unique<HttpSession>(HttpSession::Options{60s, std::nullopt}, clock,
                                                 NetworkAccessFactory::standard());
    auto exchange = session->send(QNetworkRequest(server.url(u"/hang"_s)), "GET");
    ASSERT_TRUE(Async::waitUntil([&] { return server.requests().size() == 1; }));
    session.reset();
    const HttpResult result = Async::run(std::move(exchange), 2s);
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(result.errorDescription, u"cancelled"_s);
}

TEST(SubscriptionToken, IsTheSegmentAfterSub) {
    const std::pair<const char*, std::optional<QString>> cases[] = {
        {"https://vpn.example/api/sub/abc123", u"abc123"_s},
        {"https://vpn.example/api/sub//abc123/", u"abc123"_s},
        {"https://vpn.example/sub/a%20b?x=1", u"a b"_s},
        {"https://vpn.example/api/subs/abc123", std::nullopt},
        {"https://vpn.example/abc123", std::nullopt},
        {"https://vpn.example/api/sub", std::nullopt},
        {"https://vpn.example/", std::nullopt},
    };
    for (const auto& [url, token] : cases)
        EXPECT_EQ(subscriptionToken(QUrl(QString::fromLatin1(url))), token) << url;
}

TEST(DeviceIdentifier, IsMadeOnceAndOutlivesSignOut) {
    const QString first = DeviceID::current();
    EXPECT_EQ(first.size(), 36);
    EXPECT_EQ(first, first.toLower());
    SharedDefaults::clearAll();
    EXPECT_EQ(DeviceID::current(), first);
}

TEST(DeviceIdentifier, TheFirstProcessToStoreOneWinsForBoth) {
    SettingsSuite& suite = SettingsSuite::shared();
    suite.remove(u"device_id"_s);
    // Another process stored its identifier between this one's read and write.
    EXPECT_EQ(suite.adoptText(u"device_id"_s, u"theirs"_s), u"theirs"_s);
    EXPECT_EQ(suite.adoptText(u"device_id"_s, u"ours"_s), u"theirs"_s);
    EXPECT_EQ(DeviceID::current(), u"theirs"_s);
    // A value that is no text is no identifier, and is replaced.
    suite.setBytes(u"device_id"_s, "bytes");
    EXPECT_EQ(suite.adoptText(u"device_id"_s, u"ours"_s), u"ours"_s);
}

} // namespace
