#include "tests/support/HttpFixture.h"

#include "shared/settings/Constants.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QByteArray routeKey(const QByteArray& method, const QByteArray& path) {
    return method + ' ' + path;
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 304:
        return "Not Modified";
    case 404:
        return "Not Found";
    case 407:
        return "Proxy Authentication Required";
    default:
        return "Status";
    }
}

} // namespace

QByteArray HttpFixture::Request::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

HttpFixture::HttpFixture(quint16 port) {
    if (!m_server.listen(QHostAddress::LocalHost, port))
        ADD_FAILURE() << "test server cannot listen on port " << port << ": "
                      << m_server.errorString().toStdString();
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

quint16 HttpFixture::servicePort() {
    return quint16(Constants::apiBaseURL().port());
}

void HttpFixture::route(const QByteArray& method, const QString& path, Route route) {
    m_routes.insert(routeKey(method, path.toUtf8()), std::move(route));
}

QUrl HttpFixture::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

qsizetype HttpFixture::count(const QByteArray& method, const QString& path) const {
    return std::count_if(m_requests.begin(), m_requests.end(), [&](const Request& r) {
        return r.method == method && r.target.split('?').first() == path.toUtf8();
    });
}

void HttpFixture::serve(QTcpSocket* socket) {
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        const QList<QByteArray> lines = buffer->left(end).split('\n');
        const QList<QByteArray> start = lines.first().trimmed().split(' ');
        request.method = start.value(0);
        request.target = start.value(1);
        qsizetype length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (buffer->size() < end + 4 + length)
            return; // the body is still on its way
        request.body = buffer->mid(end + 4, length);
        buffer->clear();
        m_requests.append(request);
        answer(socket, request);
    });
}

void HttpFixture::answer(QTcpSocket* socket, const Request& request) {
    const Route route = m_routes.value(routeKey(request.method, request.target.split('?').first()),
                                       Route::answer(404, R"({"detail":"no such route"})"));
    if (route.behaviour == Behaviour::hang)
        return;
    const QPointer<QTcpSocket> alive(socket);
    if (route.behaviour == Behaviour::trickle) {
        QByteArray head = "HTTP/1.1 200 OK\r\n";
        for (const auto& [name, value] : route.headers)
            head += name + ": " + value + "\r\n";
        socket->write(head + "\r\n");
        auto* drip = new QTimer(socket);
        connect(drip, &QTimer::timeout, socket, [alive] { alive->write("x"); });
        drip->start(20);
        return;
    }
    auto respond = [alive, route, head = request.method == "HEAD"] {
        if (!alive)
            return;
        if (route.behaviour == Behaviour::drop) {
            alive->abort();
            return;
        }
        QByteArray response = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' +
                              reasonPhrase(route.status) + "\r\nConnection: close\r\n";
        if (route.status != 204 && route.status != 304)
            response += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        for (const auto& [name, value] : route.headers)
            response += name + ": " + value + "\r\n";
        response += "\r\n";
        if (!head && route.status != 204 && route.status != 304)
            response += route.body;
        alive->write(response);
        alive->disconnectFromHost();
    };
    if (route.behaviour == Behaviour::hold)
        m_held.append(respond);
    else if (route.delayMs > 0)
        QTimer::singleShot(route.delayMs, socket, respond);
    else
        respond();
}

void HttpFixture::release() {
    for (const std::function<void()>& respond : std::exchange(m_held, {}))
        respond();
}
