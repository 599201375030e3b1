#include "tests/service/TunneldProcess.h"

#include "shared/tunnel/TunnelServiceApi.h"
#include "tests/support/AnyUserCopy.h"
#include "tests/support/Async.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QFile>
#include <QJsonDocument>

#include <csignal>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
namespace Api = TunnelServiceApi;

TunneldProcess::TunneldProcess(Options options)
    : m_options(std::move(options))
    , m_stateDir(m_options.stateDir.isEmpty() ? m_temporary.filePath(u"state"_s)
                                              : m_options.stateDir) {
    m_process.setProgram(QStringLiteral(TUNNELD));
    QStringList arguments = m_options.arguments;
    arguments << u"--state-dir"_s << m_stateDir << u"--log-stderr"_s;
    if (m_options.session)
        arguments << u"--session"_s;
    else
        arguments << u"--nft"_s << m_options.nft;
    m_process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // In system mode the provider runs as the user who started the tunnel,
    // from a copy that user can reach, with the library it loads beside it.
    if (!m_options.session)
        copyForAnyUser(QStringLiteral(TESSALINE_LIBRARY));
    environment.insert(u"HALVORAN_TUNNEL_PROVIDER"_s,
                       m_options.session ? m_options.provider : copyForAnyUser(m_options.provider));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

TunneldProcess::~TunneldProcess() {
    stop();
}

QDBusConnection TunneldProcess::bus() const {
    return m_options.session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
}

bool TunneldProcess::start() {
    m_process.start();
    if (!m_process.waitForStarted(5000))
        return false;
    const QDBusConnection connection = bus();
    return Async::waitUntil(
               [&] {
                   return connection.interface()->serviceOwner(QString(Api::busName)).isValid() ||
                          m_process.state() == QProcess::NotRunning;
               },
               std::chrono::seconds(5)) &&
           m_process.state() == QProcess::Running;
}

void TunneldProcess::stop(int signal) {
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), signal);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    log();
    // The bus notices the exit a moment later.
    const QDBusConnection connection = bus();
    Async::waitUntil(
        [&] { return !connection.interface()->serviceOwner(QString(Api::busName)).isValid(); },
        std::chrono::seconds(2));
}

QString TunneldProcess::log() {
    m_log += QString::fromUtf8(m_process.readAllStandardError());
    return m_log;
}

bool TunneldProcess::waitForLog(const QString& text, std::chrono::milliseconds limit) {
    return Async::waitUntil([&] { return log().contains(text); }, limit);
}

QDBusMessage callTunneld(const QDBusConnection& bus, const QString& method,
                         const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString(Api::busName), QString(Api::objectPath), QString(Api::interfaceName), method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, 5000);
}

QString tunnelStatus(const QDBusConnection& bus, const QString& id) {
    return callTunneld(bus, u"Status"_s, {id}).arguments().value(0).toString();
}

QVariantMap tunnelProfile(const QString& url, const QVariantMap& entries,
                          const QString& description) {
    QVariantMap configuration = entries;
    configuration.insert(u"subscription_url"_s, url);
    return {{u"LocalizedDescription"_s, description},
            {u"Enabled"_s, true},
            {u"ProviderBundleIdentifier"_s, u"dev.morvel.vpn.sysext"_s},
            {u"ServerAddress"_s, url},
            {u"ProviderConfiguration"_s, configuration}};
}

QString saveProfile(const QDBusConnection& bus, const QVariantMap& profile) {
    const QDBusMessage reply = callTunneld(bus, u"Save"_s, {profile});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    return reply.arguments().value(0).toString();
}

QList<QVariantMap> loadAllProfiles(const QDBusConnection& bus) {
    return qdbus_cast<QList<QVariantMap>>(
        callTunneld(bus, u"LoadAll"_s).arguments().value(0).value<QDBusArgument>());
}

bool sleepAndResume() {
    for (const bool sleeping : {true, false}) {
        QDBusMessage signal = QDBusMessage::createMethodCall(
            u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s,
            u"org.freedesktop.DBus.Mock"_s, u"EmitSignal"_s);
        signal << u"org.freedesktop.login1.Manager"_s << u"PrepareForSleep"_s << u"b"_s
               << QVariantList{QVariant::fromValue(QDBusVariant(sleeping))};
        if (QDBusConnection::systemBus().call(signal, QDBus::Block, 5000).type() !=
            QDBusMessage::ReplyMessage)
            return false;
    }
    return true;
}

void setPolkitAllowed(const QStringList& actions) {
    QDBusMessage allow = QDBusMessage::createMethodCall(
        u"org.freedesktop.PolicyKit1"_s, u"/org/freedesktop/PolicyKit1/Authority"_s,
        u"org.freedesktop.DBus.Mock"_s, u"SetAllowed"_s);
    allow << actions;
    QDBusConnection::systemBus().call(allow, QDBus::Block, 5000);
}

QJsonArray callAsPeer(const QJsonArray& calls) {
    QProcess peer;
    peer.start(u"setpriv"_s,
               {u"--reuid=%1"_s.arg(peerUid), u"--regid=%1"_s.arg(peerUid), u"--clear-groups"_s,
                copyForAnyUser(QStringLiteral(CALL_AS_PEER)),
                QString::fromUtf8(QJsonDocument(calls).toJson(QJsonDocument::Compact))});
    if (!peer.waitForFinished(20000)) {
        peer.kill();
        peer.waitForFinished(1000);
        return {};
    }
    const QJsonArray outcomes = QJsonDocument::fromJson(peer.readAllStandardOutput()).array();
    if (peer.exitCode() != 0)
        qWarning("call-as-peer failed: %s", peer.readAllStandardError().constData());
    return outcomes;
}

QJsonValue callOnceAsPeer(const QString& method, const QJsonArray& arguments) {
    return callAsPeer(QJsonArray{QJsonValue(peerCall(method, arguments))}).at(0);
}

bool processAlive(qint64 pid) {
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) != "Z";
}

bool waitForExit(qint64 pid, std::chrono::milliseconds limit) {
    return Async::waitUntil([pid] { return !processAlive(pid); }, limit);
}
