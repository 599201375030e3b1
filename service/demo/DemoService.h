#pragma once

#include "service/demo/HttpServer.h"

#include <QDateTime>
#include <QHash>
#include <QUrl>

#include <memory>

class Clock;

// The service's API as the app uses it, for demonstrations and manual tests:
// an activation code that always works ("DEMO-2026"), subscriptions that can
// be withdrawn on request, a configuration with three edges and the usual
// rule-sets, and the rule-set files. Subscriptions are kept in a state file
// when one is given, so that a restart of the demo keeps the app activated;
// only a withdrawal (or the expiry) ends one.
class DemoService {
public:
    static constexpr char activationCode[] = "DEMO-2026";
    static constexpr int subscriptionDays = 30;

    // `origin` is where the service is reached, for the addresses it hands out.
    // `stateFile`, when not empty, keeps the subscriptions across restarts.
    DemoService(QUrl origin, std::shared_ptr<Clock> clock, QString stateFile = {});

    // Answers `request`, and logs it without the subscription token.
    HttpResponse handle(const HttpRequest& request);

    // The configuration every subscription serves.
    QByteArray configuration() const;
    // A rule-set's file, absent for a tag the demo does not serve.
    static std::optional<QByteArray> ruleset(const QString& tag);

private:
    struct Subscription {
        QDateTime expiresAt;
        bool withdrawn = false;
    };

    HttpResponse route(const HttpRequest& request);
    HttpResponse activate(const HttpRequest& request);
    HttpResponse subscription(const QString& token) const;
    HttpResponse withdraw(const HttpRequest& request, const QString& token);
    void loadState();
    void saveState() const;

    QUrl m_origin;
    std::shared_ptr<Clock> m_clock;
    QString m_stateFile;
    QHash<QString, Subscription> m_subscriptions;
};
