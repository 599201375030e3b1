#pragma once

#include "shared/async/Clock.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>

class Cancellation;
class NetworkAccessFactory;

// How one exchange ended: an answer (HTTP or not), or a transport failure.
struct HttpResult {
    // False when the exchange did not complete: no connection, time-out,
    // cancellation, TLS failure, a connection dropped mid-answer.
    bool completed = false;
    // The HTTP status; absent when the answer was not an HTTP answer.
    std::optional<int> status;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    // For a failure: what went wrong, in words a person can read.
    QString errorDescription;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    bool timedOut = false;
    // The answer grew past the session's size limit and was cut off.
    bool tooLarge = false;

    // A response header, matched without regard to letter case.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

// An HTTP client session: a connection pool with its own time-out rules.
//
// Time-outs follow the clock this session was given, so that tests can run
// them fast. Two limits apply to each exchange:
// - the request time-out: how long the exchange may go without any progress
//   (no connection yet, no byte sent or received). A request may carry its
//   own value, which replaces the session's default for that request, just as
//   a Qt request's transfer time-out replaces its manager's;
// - the resource time-out: how long the whole exchange may take, whatever its
//   progress, the same for every request of the session.
// Whichever runs out first ends the exchange as a transport failure that
// reads "The request timed out."
//
// Destroying the session ends its exchanges still in flight as cancelled, so
// no caller waits for an answer that can no longer come.
class HttpSession {
public:
    struct Options {
        std::chrono::milliseconds requestTimeout;
        std::optional<std::chrono::milliseconds> resourceTimeout;
        // An ephemeral session neither sends nor keeps cookies.
        bool ephemeral = false;
        // An answer whose body grows past this many bytes ends as a failure.
        std::optional<qint64> maxBodyBytes = std::nullopt;
    };

    // The session's manager comes from `network`, which need not outlive it.
    HttpSession(Options options, std::shared_ptr<Clock> clock, const NetworkAccessFactory& network);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Sends `verb` to the request's URL and waits for the whole answer.
    // Never throws: every failure is in the result. `cancellation` aborts
    // the exchange (after the caller's current call returns).
    QCoro::Task<HttpResult> send(QNetworkRequest request, QByteArray verb, QByteArray body = {},
                                 std::optional<std::chrono::milliseconds> requestTimeout = {},
                                 std::shared_ptr<Cancellation> cancellation = {});

    const std::shared_ptr<Clock>& clock() const { return m_clock; }

private:
    Options m_options;
    std::shared_ptr<Clock> m_clock;
    QNetworkAccessManager* m_manager;
};

// A transport failure reported as the HTTP layer's own error, for callers that
// pass such failures on unchanged: no connection, time-out, cancellation.
class HttpError : public std::exception {
public:
    explicit HttpError(const HttpResult& failure);
    QNetworkReply::NetworkError code() const { return m_code; }
    bool timedOut() const { return m_timedOut; }
    // The platform's own description of the failure.
    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QNetworkReply::NetworkError m_code;
    bool m_timedOut;
    QString m_description;
    QByteArray m_what;
};
