#pragma once

#include "app/core/TunnelController.h"
#include "platform/fake/FakeExtensionRequest.h"
#include "platform/fake/FakeVpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"
#include "shared/net/NetworkAccess.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <gtest/gtest.h>

inline void PrintTo(const ConnectionState& s, std::ostream* os) {
    *os << QMetaEnum::fromType<ConnectionState::Kind>().valueToKey(int(s.kind()));
    if (s.kind() == ConnectionState::Kind::error)
        *os << "(" << s.message().toStdString() << ")";
}

// Marks every request of the managers it makes, so that a test can tell
// whether each exchange the service saw came through the factory the
// controller was given.
class MarkingNetwork final : public NetworkAccessFactory {
public:
    static constexpr const char* mark = "X-Made-By-Factory";
    QNetworkAccessManager* create() const override { return new Manager; }

private:
    class Manager final : public QNetworkAccessManager {
    protected:
        QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                     QIODevice* body) override {
            QNetworkRequest marked(request);
            marked.setRawHeader(mark, "1");
            return QNetworkAccessManager::createRequest(operation, marked, body);
        }
    };
};

// Whether every request the service saw carries the factory's mark.
inline bool allMarked(const HttpFixture& service) {
    for (const HttpFixture::Request& request : service.requests()) {
        if (request.header(MarkingNetwork::mark).isEmpty())
            return false;
    }
    return !service.requests().isEmpty();
}

// A controller on the fake platform, the manual clock and the local service,
// which serves one subscription with one edge and two rule-sets.
class ControllerFixture : public ::testing::Test {
public:
    using Kind = ConnectionState::Kind;
    using Call = FakeVpnProfileStore::Call;
    using Route = HttpFixture::Route;

    static inline const QString token = QStringLiteral("tok1");
    static inline const QByteArray config =
        R"({"outbounds":[{"type":"vless","tag":"nl-ams-1","server":"a.example","server_port":443}],
        "route":{"rule_set":[{"tag":"youtube"},{"tag":"ipcheck"}]}})";

    ControllerFixture() {
        SharedDefaults::clearAll();
        service.route("GET", subscriptionPath(), Route::answer(200, config));
        service.route("HEAD", QStringLiteral("/probe"), Route::answer(200));
        for (const char* set : {"youtube", "ipcheck"})
            service.route("GET", QStringLiteral("/rulesets/%1.srs").arg(QLatin1StringView(set)),
                          Route::answer(200, "srs"));
    }
    ~ControllerFixture() override {
        controller.reset();
        settle();
        SharedDefaults::clearAll();
    }

    void answerActivation(const QByteArray& url, int delayMs = 0) {
        service.route("POST", QStringLiteral("/api/activate"),
                      Route::answer(200,
                                    R"({"subscription_url":")" + url +
                                        R"(","expires_at":"2026-07-01T12:00:00Z"})",
                                    delayMs));
    }
    static QString subscriptionPath() { return QStringLiteral("/api/sub/") + token; }
    static QString subscriptionURL() {
        return Constants::apiBaseURL().toString() + subscriptionPath();
    }

    TunnelController& launch() {
        QHash<QString, QUrl> probes{{QStringLiteral("youtube"), service.url(QStringLiteral("/probe"))}};
        controller = std::make_unique<TunnelController>(profiles, extensions, api, clock, network, probes);
        settle();
        return *controller;
    }
    // Runs what the event loop holds queued; no network wait.
    static void settle() {
        for (int i = 0; i < 4; ++i)
            QCoreApplication::processEvents();
    }
    template <typename Condition> static bool until(Condition condition) {
        return Async::waitUntil(condition, std::chrono::seconds(3));
    }
    void run(QCoro::Task<void>&& task) { Async::run(std::move(task), std::chrono::seconds(5)); }

    // An activated device: the subscription stored, with metadata fetched now.
    void storeSubscription() {
        SharedDefaults::setSubscriptionURL(subscriptionURL());
        SharedDefaults::setSubscriptionToken(token);
        SharedDefaults::saveMetadata(SubscriptionMetadata({{QStringLiteral("nl-ams-1"), {}, {}}},
                                                          {QStringLiteral("youtube")}, {},
                                                          clock->now()));
    }
    static FakeVpnProfileStore::Saved savedProfile() {
        const QString url = subscriptionURL();
        return {QStringLiteral("VPN"), true,
                TunnelProviderProtocol{QStringLiteral("dev.morvel.vpn.sysext"), url,
                                       {{QStringLiteral("subscription_url"), url}}}};
    }

    // Now, so that the rule-set files written during a test have their real age.
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(QDateTime::currentDateTimeUtc());
    HttpFixture service{HttpFixture::servicePort()};
    MarkingNetwork network;
    APIClient api{clock, network};
    FakeVpnProfileStore profiles;
    FakeExtensionManager extensions;
    LogCapture log;
    std::unique_ptr<TunnelController> controller;
};
