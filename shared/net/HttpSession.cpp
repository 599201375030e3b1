#include "shared/net/HttpSession.h"

#include "shared/async/Cancellation.h"

#include <QBuffer>
#include <QTimer>
#include <qcoro/qcoronetworkreply.h>

using namespace Qt::StringLiterals;

std::optional<QByteArray> HttpResult::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

HttpSession::HttpSession(Options options, Clock clock)
    : m_options(options)
    , m_clock(clock)
    , m_manager(new QNetworkAccessManager) {
    // Nothing is ever answered from a local cache: Qt keeps none unless given one.
    m_manager->setCache(nullptr);
}

HttpSession::~HttpSession() {
    // Replies still in flight belong to the manager; let them unwind first.
    m_manager->deleteLater();
}

QCoro::Task<HttpResult> HttpSession::send(QNetworkRequest request, QByteArray verb, QByteArray body,
                                          std::optional<std::chrono::milliseconds> requestTimeout,
                                          std::shared_ptr<Cancellation> cancellation) {
    HttpResult result;
    if (cancellation && cancellation->isCancelled()) {
        result.error = QNetworkReply::OperationCanceledError;
        result.errorDescription = u"cancelled"_s;
        co_return result;
    }
    if (m_options.ephemeral) {
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    }
    // Our own timers keep time instead of Qt's, so they follow the session's clock.
    request.setTransferTimeout(0);

    QNetworkReply* reply = body.isEmpty() && verb != "POST"
                               ? m_manager->sendCustomRequest(request, verb)
                               : m_manager->sendCustomRequest(request, verb, body);
    bool timedOut = false;
    // Aborting is queued: abort() resumes this coroutine inside itself, and a
    // canceller or a timer must not find the rest of the exchange running
    // inside its own call.
    const auto abortLater = [reply] {
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    const auto expire = [&timedOut, abortLater] {
        timedOut = true;
        abortLater();
    };

    QTimer idle;
    idle.setSingleShot(true);
    QObject::connect(&idle, &QTimer::timeout, reply, expire);
    idle.start(m_clock.realDuration(requestTimeout.value_or(m_options.requestTimeout)));
    const auto progress = [&idle] { idle.start(); };
    QObject::connect(reply, &QNetworkReply::downloadProgress, &idle, progress);
    QObject::connect(reply, &QNetworkReply::uploadProgress, &idle, progress);

    QTimer whole;
    whole.setSingleShot(true);
    if (m_options.resourceTimeout) {
        QObject::connect(&whole, &QTimer::timeout, reply, expire);
        whole.start(m_clock.realDuration(*m_options.resourceTimeout));
    }
    if (cancellation)
        QObject::connect(cancellation.get(), &Cancellation::cancelled, reply, abortLater);

    co_await reply;
    idle.stop();
    whole.stop();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    // Qt reports some answers as errors too (4xx, 5xx, a redirect it cannot
    // follow); with a status they are answers. Connection and proxy failures
    // (codes below 200) are failures even after a status arrived: the answer
    // was cut short.
    result.completed = error == QNetworkReply::NoError || (status.isValid() && error >= 200);
    if (result.completed) {
        if (status.isValid())
            result.status = status.toInt();
        result.body = reply->readAll();
        result.headers = reply->rawHeaderPairs();
    } else {
        result.error = error;
        result.timedOut = timedOut;
        result.errorDescription = timedOut ? u"The request timed out."_s
                                  : error == QNetworkReply::OperationCanceledError
                                      ? u"cancelled"_s
                                      : reply->errorString();
    }
    reply->deleteLater();
    co_return result;
}

HttpError::HttpError(const HttpResult& failure)
    : m_code(failure.error)
    , m_timedOut(failure.timedOut)
    , m_description(failure.errorDescription)
    , m_what(m_description.toUtf8()) {}
