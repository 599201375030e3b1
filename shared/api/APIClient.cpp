#include "shared/api/APIClient.h"

#include "shared/coding/DateCoding.h"
#include "shared/coding/JsonCoding.h"
#include "shared/model/SingboxClientConfig.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"

#include <QJsonObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The session's limits. On this stack a request's own time-out replaces the
// session's 20-second default, as a Qt request's transfer time-out replaces
// its manager's; both exchanges carry their own (60 seconds, or the caller's
// value), so each may go that long without progress, while the 30-second
// resource limit caps every exchange as a whole. In practice an exchange with
// a silent server ends after 30 seconds; a caller's shorter value ends it sooner.
constexpr auto sessionRequestTimeout = 20s;
constexpr auto sessionResourceTimeout = 30s;
constexpr auto exchangeTimeout = 60s;

struct Payload {
    QString code;
    QString deviceId;
    QJsonObject encode(const JsonEncoder& encoder) const {
        return {{encoder.key("code"_L1), code}, {encoder.key("deviceId"_L1), deviceId}};
    }
};

const JsonEncoder& activationEncoder() {
    static const JsonEncoder encoder(JsonEncoder::KeyEncodingStrategy::convertToSnakeCase);
    return encoder;
}

// The message of an error answer: "detail" as text, or the "msg" of the first
// entry of a "detail" list. A body that is not JSON has none.
struct ErrorMessage {
    std::optional<QString> text;

    static ErrorMessage decode(const JsonNode& top) {
        using Type = JsonNode::Type;
        const auto detail = top.type() == Type::object ? top.optional("detail"_L1) : std::nullopt;
        if (detail && detail->type() == Type::text)
            return {detail->toText()};
        if (!detail || detail->type() != Type::list || detail->listSize() == 0)
            return {};
        const JsonNode first = detail->element(0);
        const auto msg = first.type() == Type::object ? first.optional("msg"_L1) : std::nullopt;
        return {msg && msg->type() == Type::text ? std::optional(msg->toText()) : std::nullopt};
    }
};

std::optional<QString> errorMessage(const QByteArray& body) {
    static const JsonDecoder exactKeys;
    try {
        return exactKeys.decode<ErrorMessage>(body).text;
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

// Raises APIError::http for any status outside 200 to 299. An answer that is
// not HTTP at all counts as a success.
void throwIfError(const HttpResult& result) {
    if (result.status && (*result.status < 200 || *result.status > 299))
        throw APIError::http(*result.status, errorMessage(result.body));
}

std::optional<QDateTime> expiryOf(const HttpResult& result) {
    const std::optional<QByteArray> header = result.header("X-Subscription-Expires-At");
    if (!result.status || !header)
        return std::nullopt;
    const QString text = QString::fromUtf8(*header);
    if (auto date = DateCoding::parseInternetDateTime(text, true))
        return date;
    return DateCoding::parseInternetDateTime(text, false);
}

QThreadPool& lastConfigWriter() {
    static QThreadPool* const pool = [] {
        auto* writer = new QThreadPool; // kept for the life of the process
        writer->setMaxThreadCount(1);
        return writer;
    }();
    return *pool;
}

template <typename T> T decodeAnswer(const JsonDecoder& decoder, const QByteArray& body) {
    try {
        return decoder.decode<T>(body);
    } catch (const DecodingError& error) {
        throw APIError::decoding(error.description());
    }
}

} // namespace

APIClient& APIClient::shared() {
    static APIClient client(Clock::system(), NetworkAccessFactory::standard());
    return client;
}

APIClient::APIClient(std::shared_ptr<Clock> clock, const NetworkAccessFactory& network)
    : m_session({sessionRequestTimeout, sessionResourceTimeout, false}, std::move(clock), network) {}

QCoro::Task<ActivationResponse> APIClient::activate(QString code, QString deviceId) {
    const QByteArray body = activationEncoder().encode(Payload{code, deviceId});
    QUrl url = Constants::apiBaseURL();
    url.setPath(url.path() + u"/api/activate");
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");

    // GCC 12 destroys temporaries of a co_await expression twice, so every
    // awaited task is built in a statement of its own first.
    QCoro::Task<HttpResult> exchange = m_session.send(request, "POST", body, exchangeTimeout);
    const HttpResult result = co_await exchange;
    if (!result.completed)
        throw APIError::transport(result.errorDescription);
    throwIfError(result);
    co_return decodeAnswer<ActivationResponse>(m_decoder, result.body);
}

QCoro::Task<SubscriptionFetch> APIClient::fetchSubscription(QUrl url,
                                                            std::optional<double> timeoutSeconds) {
    const auto timeout = timeoutSeconds ? std::chrono::milliseconds(qint64(*timeoutSeconds * 1000))
                                        : exchangeTimeout;
    // Held here, not read through `this` after the wait: the client may be gone by then.
    const JsonDecoder& decoder = m_decoder;
    const std::shared_ptr<Clock> clock = m_session.clock();
    QCoro::Task<HttpResult> exchange = m_session.send(QNetworkRequest(url), "GET", {}, timeout);
    const HttpResult result = co_await exchange;
    if (!result.completed)
        throw HttpError(result);
    throwIfError(result);
    const auto config = decodeAnswer<SingboxClientConfig>(decoder, result.body);
    SubscriptionMetadata metadata(config.edges(), config.rulesetNames(), expiryOf(result),
                                  clock->now());
    // Written off the main thread, since the file is flushed to disk before it
    // replaces the old one, by one writer in the order the fetches completed:
    // the file then always holds the configuration of the newest metadata.
    QFuture<void> saving = QtConcurrent::run(
        &lastConfigWriter(), [data = result.body] { SharedDefaults::saveLastConfig(data); });
    co_await saving;
    co_return SubscriptionFetch{result.body, std::move(metadata)};
}

std::optional<QString> subscriptionToken(const QUrl& url) {
    const QStringList segments = url.path(QUrl::FullyDecoded).split(u'/', Qt::SkipEmptyParts);
    if (segments.size() >= 2 && segments[segments.size() - 2] == u"sub")
        return segments.last();
    return std::nullopt;
}
