#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <functional>

// A real HTTP/1.1 server on 127.0.0.1 for the network tests. Each route
// (method and path) is scripted: status, headers, body, a delay before the
// answer, an answer held until the test releases it, a body trickled a byte
// at a time, or no answer at all (the connection dropped, or left hanging).
// Unscripted routes answer 404. Every request is recorded.
class HttpFixture final : public QObject {
    Q_OBJECT
public:
    enum class Behaviour { answer, drop, hang, hold, trickle };
    struct Route {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
        Behaviour behaviour = Behaviour::answer;

        static Route answer(int status, QByteArray body = {}, int delayMs = 0) {
            Route route;
            route.status = status;
            route.body = std::move(body);
            route.delayMs = delayMs;
            return route;
        }
        static Route drop() { return behave(Behaviour::drop); }
        static Route hang() { return behave(Behaviour::hang); }
        // Answers only when the test calls release().
        static Route hold(int status) {
            Route route = answer(status);
            route.behaviour = Behaviour::hold;
            return route;
        }
        // Announces `length` bytes, then sends one every 20 ms, for ever.
        static Route trickle(qint64 length) {
            Route route = behave(Behaviour::trickle);
            route.headers.append({"Content-Length", QByteArray::number(length)});
            return route;
        }
        Route withHeader(QByteArray name, QByteArray value) && {
            headers.append({std::move(name), std::move(value)});
            return std::move(*this);
        }

    private:
        static Route behave(Behaviour behaviour) {
            Route route;
            route.behaviour = behaviour;
            return route;
        }
    };
    struct Request {
        QByteArray method;
        QByteArray target; // path and query as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray header(const QByteArray& name) const;
    };

    // Listens on `port` (0: any free port). Fails the current test if it cannot.
    explicit HttpFixture(quint16 port = 0);
    // Listens where the library looks for the service: the port of its address.
    static quint16 servicePort();

    void route(const QByteArray& method, const QString& path, Route route);
    QUrl url(const QString& path) const;
    quint16 port() const { return m_server.serverPort(); }
    const QList<Request>& requests() const { return m_requests; }
    qsizetype count(const QByteArray& method, const QString& path) const;
    // Answers every held request.
    void release();

private:
    void serve(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Request& request);
    QList<std::function<void()>> m_held;

    QTcpServer m_server;
    QHash<QByteArray, Route> m_routes;
    QList<Request> m_requests;
};
