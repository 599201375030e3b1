#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest {
    QByteArray method;
    QByteArray path; // without the query
    HttpHeaders headers;
    QByteArray body;
    QHostAddress peer;
};

struct HttpResponse {
    int status = 200;
    HttpHeaders headers;
    QByteArray body;
};

// A small HTTP/1.1 server: one request per connection, answered and closed.
// Requests are bounded in size and time, and anything it does not understand
// (chunked bodies, malformed lines, oversized heads or bodies) is answered
// with the fitting 4xx or 5xx status without reaching the handler.
class HttpServer final : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    static constexpr qsizetype maxHeadBytes = 16 * 1024;
    static constexpr qsizetype maxBodyBytes = 64 * 1024;
    static constexpr int requestTimeoutMs = 10000;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);

    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const { return m_server.errorString(); }
    quint16 port() const { return m_server.serverPort(); }

    static QByteArray reasonPhrase(int status);

private:
    void serve(QTcpSocket* socket);

    Handler m_handler;
    QTcpServer m_server;
};
