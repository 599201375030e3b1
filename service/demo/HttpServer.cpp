#include "service/demo/HttpServer.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

// The request so far, and whether it is complete, refused, or still coming.
struct Parse {
    enum class Outcome { incomplete, complete, refused };
    Outcome outcome = Outcome::incomplete;
    int status = 0; // of a refusal
    HttpRequest request;
};

bool isToken(const QByteArray& text) {
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c <= ' ' || c >= 127 || QByteArrayView("()<>@,;:\\\"/[]?={}").contains(c))
            return false;
    }
    return true;
}

Parse refuse(int status) {
    Parse parse;
    parse.outcome = Parse::Outcome::refused;
    parse.status = status;
    return parse;
}

Parse parse(const QByteArray& buffer) {
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return buffer.size() > HttpServer::maxHeadBytes ? refuse(431) : Parse{};
    if (end > HttpServer::maxHeadBytes)
        return refuse(431);
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> start =
        lines.first().chopped(lines.first().endsWith('\r') ? 1 : 0).split(' ');
    if (start.size() != 3 || !isToken(start[0]) || !start[1].startsWith('/'))
        return refuse(400);
    if (start[2] != "HTTP/1.1" && start[2] != "HTTP/1.0")
        return refuse(505);
    Parse parse;
    parse.request.method = start[0];
    parse.request.path = start[1].split('?').first();
    std::optional<qint64> length;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon)))
            return refuse(400);
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0)
            return refuse(501); // bodies come with a length or not at all
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 value64 = value.toLongLong(&ok);
            if (!ok || value64 < 0 || (length && *length != value64) ||
                !std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; }))
                return refuse(400);
            length = value64;
        }
        parse.request.headers.append({name, value});
    }
    if (length.value_or(0) > HttpServer::maxBodyBytes)
        return refuse(413);
    if (buffer.size() < end + 4 + length.value_or(0))
        return parse;
    parse.request.body = buffer.mid(end + 4, length.value_or(0));
    parse.outcome = Parse::Outcome::complete;
    return parse;
}

QByteArray serialise(const HttpResponse& response) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                     HttpServer::reasonPhrase(response.status) + "\r\nConnection: close\r\n" +
                     "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    return out + "\r\n" + response.body;
}

} // namespace

HttpServer::HttpServer(Handler handler, QObject* parent)
    : QObject(parent)
    , m_handler(std::move(handler)) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

bool HttpServer::listen(const QHostAddress& address, quint16 port) {
    return m_server.listen(address, port);
}

QByteArray HttpServer::reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 410:
        return "Gone";
    case 413:
        return "Content Too Large";
    case 422:
        return "Unprocessable Content";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

void HttpServer::serve(QTcpSocket* socket) {
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto answered = std::make_shared<bool>(false);
    const auto send = [socket, answered](const HttpResponse& response) {
        if (std::exchange(*answered, true))
            return;
        socket->write(serialise(response));
        socket->disconnectFromHost();
    };
    // A client that sends slowly or never finishes gets an answer and is let go.
    connect(deadline, &QTimer::timeout, socket, [send] { send({408, {}, {}}); });
    deadline->start(requestTimeoutMs);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, send, answered] {
        if (*answered) {
            socket->readAll();
            return;
        }
        *buffer += socket->readAll();
        Parse result = parse(*buffer);
        if (result.outcome == Parse::Outcome::refused) {
            send({result.status, {}, {}});
        } else if (result.outcome == Parse::Outcome::complete) {
            result.request.peer = socket->peerAddress();
            send(m_handler(result.request));
        }
    });
}
