#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>

// One halvoran-tunneld for a test, on the private buses of with-buses.sh,
// with the stand-in provider, short bounds and its log on stderr, which the
// test reads. Stopped (and killed if need be) when it goes.
class TunneldProcess {
public:
    struct Options {
        bool session = true;
        QString stateDir; // a fresh temporary one when empty
        QString provider = QStringLiteral(STANDIN_PROVIDER);
        // System mode's nft: by default one that changes nothing, so that a
        // test in the machine's own network never firewalls the machine.
        QString nft = QStringLiteral("/bin/true");
        QStringList arguments{QStringLiteral("--connect-timeout=1500"),
                              QStringLiteral("--stop-timeout=400"),
                              QStringLiteral("--route-settle=100")};
    };

    explicit TunneldProcess(Options options);
    TunneldProcess()
        : TunneldProcess(Options()) {}
    ~TunneldProcess();

    // Starts it and waits until it owns its bus name; false after 5 s.
    bool start();
    // Ends it with `signal` and waits for the exit.
    void stop(int signal = 15);
    qint64 pid() const { return m_process.processId(); }
    const QString& stateDir() const { return m_stateDir; }
    QDBusConnection bus() const;

    // The log so far, and a wait for a line containing `text`.
    QString log();
    bool waitForLog(const QString& text, std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    Options m_options;
    QTemporaryDir m_temporary;
    QString m_stateDir;
    QProcess m_process;
    QString m_log;
};

// Calls the service's `method` on `bus`, waiting at most 5 s.
QDBusMessage callTunneld(const QDBusConnection& bus, const QString& method,
                         const QVariantList& arguments = {});

// The status text the service gives for profile `id`.
QString tunnelStatus(const QDBusConnection& bus, const QString& id);

// A profile as the app saves it, for subscription `url`, with `entries`
// added to its provider configuration.
QVariantMap tunnelProfile(const QString& url, const QVariantMap& entries = {},
                          const QString& description = QStringLiteral("VPN"));
// Saves `profile` and returns its id; fails the test when refused.
QString saveProfile(const QDBusConnection& bus, const QVariantMap& profile);
// Every profile of the caller.
QList<QVariantMap> loadAllProfiles(const QDBusConnection& bus);

// Has python3-dbusmock's logind announce a sleep and the resume after it;
// false when it could not.
bool sleepAndResume();

// Makes python3-dbusmock's polkit on the system bus allow exactly `actions`.
void setPolkitAllowed(const QStringList& actions);

// Runs call-as-peer.py as the unprivileged uid 65534 (setpriv): one outcome
// per call, {"ok": reply} or {"error": name}. Empty when it did not finish.
inline constexpr uint peerUid = 65534;
QJsonArray callAsPeer(const QJsonArray& calls);
// One call for callAsPeer, and the outcome of one call made alone.
inline QJsonArray peerCall(const QString& method, const QJsonArray& arguments = {}) {
    return QJsonArray{method, arguments};
}
QJsonValue callOnceAsPeer(const QString& method, const QJsonArray& arguments = {});
// The outcomes callAsPeer reports.
inline QJsonValue peerOk(const QJsonValue& reply = {}) {
    return QJsonObject{{QStringLiteral("ok"), reply}};
}
inline QJsonValue peerError(const QString& name) {
    return QJsonObject{{QStringLiteral("error"), name}};
}

// Whether the process `pid` still runs (not a zombie).
bool processAlive(qint64 pid);
// Waits until `pid` is gone; false after `limit`.
bool waitForExit(qint64 pid, std::chrono::milliseconds limit = std::chrono::seconds(5));
