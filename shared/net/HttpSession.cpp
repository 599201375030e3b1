#include "shared/net/HttpSession.h"

#include "shared/async/Cancellation.h"
#include "shared/net/NetworkAccess.h"

#include <QBuffer>
#include <qcoro/qcoronetworkreply.h>

using namespace Qt::StringLiterals;

std::optional<QByteArray> HttpResult::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

namespace {

// Failures that can strike after the status line has arrived: the answer was
// cut short, whatever its status said.
bool cutShort(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProtocolFailure:
        return true;
    default:
        return false;
    }
}

} // namespace

HttpSession::HttpSession(Options options, std::shared_ptr<Clock> clock,
                         const NetworkAccessFactory& network)
    : m_options(options)
    , m_clock(std::move(clock))
    , m_manager(network.create()) {}

HttpSession::~HttpSession() {
    // Replies in flight belong to the manager and would vanish with it, leaving
    // their callers waiting for ever. They end as cancelled first, on the next
    // turn of the event loop so that no caller runs inside this destructor;
    // the manager's deletion is queued after them.
    const auto replies = m_manager->findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly);
    for (QNetworkReply* reply : replies)
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
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
    bool tooLarge = false;
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

    // Nothing below the await touches the session: it may be gone by then.
    const std::unique_ptr<ClockTimer> idle = m_clock->createTimer();
    const auto idleSpan = requestTimeout.value_or(m_options.requestTimeout);
    QObject::connect(idle.get(), &ClockTimer::timeout, reply, expire);
    idle->start(idleSpan);
    const auto progress = [timer = idle.get(), idleSpan] { timer->start(idleSpan); };
    QObject::connect(reply, &QNetworkReply::uploadProgress, idle.get(), progress);
    QObject::connect(reply, &QNetworkReply::downloadProgress, idle.get(), progress);
    if (const std::optional<qint64> limit = m_options.maxBodyBytes) {
        // Checked against the announced length as soon as the headers are in,
        // and against what has arrived as it arrives.
        const auto checkSize = [reply, &tooLarge, abortLater, limit = *limit] {
            const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
            if (!tooLarge && (reply->bytesAvailable() > limit ||
                              (announced.isValid() && announced.toLongLong() > limit))) {
                tooLarge = true;
                abortLater();
            }
        };
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
        QObject::connect(reply, &QNetworkReply::readyRead, reply, checkSize);
    }

    const std::unique_ptr<ClockTimer> whole = m_clock->createTimer();
    if (m_options.resourceTimeout) {
        QObject::connect(whole.get(), &ClockTimer::timeout, reply, expire);
        whole->start(*m_options.resourceTimeout);
    }
    if (cancellation)
        QObject::connect(cancellation.get(), &Cancellation::cancelled, reply, abortLater);
    const std::optional<qint64> limit = m_options.maxBodyBytes;

    co_await reply;
    idle->stop();
    whole->stop();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    // Qt flags many answers as errors too (4xx, 5xx, 407 as a proxy error, a
    // redirect it cannot follow): with a status, the server answered, unless
    // the answer was then cut short.
    result.completed = !timedOut && !tooLarge &&
                       (status.isValid() ? !cutShort(error) : error == QNetworkReply::NoError);
    if (result.completed) {
        if (status.isValid())
            result.status = status.toInt();
        result.body = reply->readAll();
        result.headers = reply->rawHeaderPairs();
    } else {
        result.error =
            error == QNetworkReply::NoError ? QNetworkReply::OperationCanceledError : error;
        result.timedOut = timedOut;
        result.tooLarge = tooLarge;
        result.errorDescription =
            timedOut   ? u"The request timed out."_s
            : tooLarge ? u"The answer is larger than "_s + QString::number(*limit) + u" bytes."
            : error == QNetworkReply::OperationCanceledError ? u"cancelled"_s
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
