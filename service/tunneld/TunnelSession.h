#pragma once

#include "platform/VpnProfile.h"
#include "service/OutputLines.h"
#include "service/tunneld/ProviderLaunch.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

class RunningRecords;

// The tunnel of one profile while it is not disconnected: one provider
// process, watched through its status lines and its exit.
//
//   start: connecting ── "status connected" ──▶ connected
//   reassert (SIGHUP) or "status reasserting": reasserting ──▶ connected
//   stop (SIGTERM, then SIGKILL to the group): disconnecting ──▶ disconnected
//   any exit not asked for, or no "connected" in time: ──▶ disconnected
//
// Every wait is bounded. Once disconnected the session is spent and says so
// through `ended`; a start asked for while it stops runs after the stop.
class TunnelSession final : public QObject {
    Q_OBJECT
public:
    struct Timing {
        // How long the provider may take to report the tunnel up.
        std::chrono::milliseconds connectBound{30000};
        // How long it may take to exit after SIGTERM before it is killed.
        std::chrono::milliseconds stopBound{5000};
    };

    // `name` names the session in log lines; `secrets` are texts never to be
    // logged (the subscription URL and its parts).
    TunnelSession(QString name, Timing timing, RunningRecords& records, QObject* parent = nullptr);
    ~TunnelSession() override;

    VpnStatus status() const { return m_status; }

    void start(ProviderLaunch launch, QByteArray configuration, QStringList secrets);
    void stop(const QString& why);
    // Re-establishes a connected tunnel.
    void reassert(const QString& why);
    // For the service's own exit: the group is killed at once.
    void kill();

Q_SIGNALS:
    void statusChanged(VpnStatus status);
    // Disconnected with nothing queued: the session may be deleted.
    void ended();

private:
    struct Pending {
        ProviderLaunch launch;
        QByteArray configuration;
        QStringList secrets;
    };

    void launch(Pending pending);
    void setStatus(VpnStatus status);
    void readStatusLines();
    void readErrorLines();
    void handleLine(const QByteArray& line);
    void logFromProvider(const char* what, QByteArrayView line, bool cut, bool critical = false);
    void handleExit(const QString& how);
    void giveUpConnecting();
    void killGroup();
    QByteArray redacted(QByteArray text) const;

    QString m_name;
    Timing m_timing;
    RunningRecords& m_records;
    VpnStatus m_status = VpnStatus::disconnected;
    QProcess* m_process = nullptr;
    pid_t m_group = 0;
    bool m_stopping = false;
    QString m_lastError;
    QStringList m_secrets;
    std::optional<Pending> m_queued;
    // Each channel read on its own, bounded; what reaches the log is capped.
    OutputLines m_statusOutput;
    OutputLines m_errorOutput;
    LineRate m_logRate;
    QTimer m_connectTimer;
    QTimer m_killTimer;
};
