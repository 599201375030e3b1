#include "app/shell/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent) {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    m_path = dir + u"/dev.morvel.vpn.halvoran.socket"_s;
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim() {
    QLocalSocket probe;
    probe.connectToServer(m_path);
    if (probe.waitForConnected(500)) {
        probe.write("raise\n");
        probe.waitForBytesWritten(500);
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: a socket left by a crashed run is stale.
    QLocalServer::removeServer(m_path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path))
        return true; // Run anyway; a second start will simply start again.
    QObject::connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server->nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // Whatever it says, a bounded amount: the only request is "raise".
                if (peer->read(64).startsWith("raise"))
                    Q_EMIT raiseRequested();
                peer->disconnectFromServer();
            });
        }
    });
    return true;
}
