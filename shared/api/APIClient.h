#pragma once

#include "shared/api/APIError.h"
#include "shared/coding/JsonCoding.h"
#include "shared/model/ActivationResponse.h"
#include "shared/model/SubscriptionMetadata.h"
#include "shared/net/HttpSession.h"

#include <QUrl>

#include <optional>

class NetworkAccessFactory;

// A downloaded subscription: the configuration exactly as served, and its
// condensed view.
struct SubscriptionFetch {
    QByteArray data;
    SubscriptionMetadata metadata;
};

// The only component that talks to the service's API. Lives on the main
// thread; both exchanges are coroutines that may be in flight together.
// Logs nothing: the subscription URL carries the user's token.
class APIClient {
public:
    // The process's client, made on first use (on the main thread), on the
    // system clock and the standard network factory.
    static APIClient& shared();
    // A client whose time-outs and fetch times follow `clock`, on a manager
    // from `network`.
    APIClient(std::shared_ptr<Clock> clock, const NetworkAccessFactory& network);
    APIClient(const APIClient&) = delete;
    APIClient& operator=(const APIClient&) = delete;

    // Trades an activation code for a subscription URL. Throws APIError
    // (http, decoding, or transport for any failure to complete the exchange).
    QCoro::Task<ActivationResponse> activate(QString code, QString deviceId);

    // Downloads and condenses the subscription at `url`, and keeps the raw
    // configuration as the last-config file. Throws APIError (http, decoding)
    // or, when the exchange does not complete, the HTTP layer's HttpError.
    // `timeoutSeconds` replaces the default 60-second request time-out.
    QCoro::Task<SubscriptionFetch> fetchSubscription(QUrl url,
                                                     std::optional<double> timeoutSeconds = {});

private:
    // The client's own: the service speaks snake_case, stored records do not.
    const JsonDecoder m_decoder{JsonDecoder::KeyDecodingStrategy::convertFromSnakeCase};
    HttpSession m_session;
};

// The subscription token inside a subscription URL: the last path segment
// when the one before it is "sub" (empty segments ignored).
std::optional<QString> subscriptionToken(const QUrl& url);
