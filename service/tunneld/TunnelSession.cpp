#include "service/tunneld/TunnelSession.h"

#include "service/tunneld/RunningRecords.h"
#include "service/tunneld/ServiceLog.h"
#include "shared/log/Log.h"

#include <signal.h>

using namespace Qt::StringLiterals;

namespace {
// Longest status or error line read from a provider; the rest is dropped.
constexpr qsizetype maxLineLength = 4096;
// Lines of a provider's that reach the log in one second.
constexpr int loggedLinesPerSecond = 50;
} // namespace

TunnelSession::TunnelSession(QString name, Timing timing, RunningRecords& records, QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
    , m_timing(timing)
    , m_records(records)
    , m_statusOutput(maxLineLength)
    , m_errorOutput(maxLineLength)
    , m_logRate(loggedLinesPerSecond) {
    m_connectTimer.setSingleShot(true);
    m_connectTimer.callOnTimeout(this, &TunnelSession::giveUpConnecting);
    m_killTimer.setSingleShot(true);
    m_killTimer.callOnTimeout(this, [this] {
        qCCritical(ServiceLog::tunneld, "%s: provider did not exit within %lld ms; killed",
                   qUtf8Printable(m_name), qint64(m_timing.stopBound.count()));
        killGroup();
    });
}

TunnelSession::~TunnelSession() {
    kill();
}

void TunnelSession::setStatus(VpnStatus status) {
    if (status == m_status)
        return;
    m_status = status;
    qCInfo(ServiceLog::tunneld, "%s: status %s", qUtf8Printable(m_name),
           qUtf8Printable(vpnStatusText(status)));
    Q_EMIT statusChanged(status);
}

void TunnelSession::start(ProviderLaunch launch, QByteArray configuration, QStringList secrets) {
    Pending pending{std::move(launch), std::move(configuration), std::move(secrets)};
    if (m_status == VpnStatus::disconnecting) {
        // A restart: stop, then start. The newest start wins.
        m_queued = std::move(pending);
        return;
    }
    if (m_status != VpnStatus::disconnected)
        return;
    this->launch(std::move(pending));
}

void TunnelSession::launch(Pending pending) {
    m_secrets = std::move(pending.secrets);
    m_lastError.clear();
    m_stopping = false;
    m_group = 0;
    m_statusOutput = OutputLines(maxLineLength);
    m_errorOutput = OutputLines(maxLineLength);
    m_process = new QProcess(this);
    pending.launch.applyTo(*m_process);
    QProcess* process = m_process;
    connect(process, &QProcess::readyReadStandardOutput, this, &TunnelSession::readStatusLines);
    connect(process, &QProcess::readyReadStandardError, this, &TunnelSession::readErrorLines);
    connect(process, &QProcess::finished, this,
            [this, process](int code, QProcess::ExitStatus how) {
                if (process != m_process)
                    return;
                handleExit(how == QProcess::CrashExit
                               ? u"was killed by a signal"_s
                               : u"exited with status "_s + QString::number(code));
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (process != m_process || error != QProcess::FailedToStart)
            return;
        m_lastError = process->errorString();
        handleExit(u"could not be started"_s);
    });

    setStatus(VpnStatus::connecting);
    m_connectTimer.start(m_timing.connectBound);
    process->start();
    if (process->state() == QProcess::NotRunning)
        return; // FailedToStart was handled above
    m_group = pid_t(process->processId());
    m_records.add(m_name, m_group);
    qCInfo(ServiceLog::tunneld, "%s: provider %s started, pid %d", qUtf8Printable(m_name),
           qUtf8Printable(process->program()), int(m_group));
    // The configuration holds the subscription token: stdin only, never argv
    // or the environment.
    process->write(pending.configuration);
    process->closeWriteChannel();
}

void TunnelSession::stop(const QString& why) {
    m_queued.reset();
    if (!m_process || m_stopping)
        return;
    qCInfo(ServiceLog::tunneld, "%s: stopping (%s)", qUtf8Printable(m_name), qUtf8Printable(why));
    m_stopping = true;
    m_connectTimer.stop();
    setStatus(VpnStatus::disconnecting);
    if (m_group > 0)
        ::kill(m_group, SIGTERM);
    m_killTimer.start(m_timing.stopBound);
}

void TunnelSession::reassert(const QString& why) {
    if (m_status != VpnStatus::connected || !m_process || m_group <= 0)
        return;
    qCInfo(ServiceLog::tunneld, "%s: re-establishing the tunnel (%s)", qUtf8Printable(m_name),
           qUtf8Printable(why));
    setStatus(VpnStatus::reasserting);
    m_connectTimer.start(m_timing.connectBound);
    ::kill(m_group, SIGHUP);
}

void TunnelSession::kill() {
    m_queued.reset();
    m_connectTimer.stop();
    m_killTimer.stop();
    if (!m_process)
        return;
    QProcess* process = std::exchange(m_process, nullptr);
    process->disconnect(this);
    killGroup();
    process->waitForFinished(1000);
    delete process;
    m_records.remove(m_name);
}

void TunnelSession::killGroup() {
    if (m_group > 0)
        ::kill(-m_group, SIGKILL);
}

void TunnelSession::giveUpConnecting() {
    if (m_status != VpnStatus::connecting && m_status != VpnStatus::reasserting)
        return;
    qCCritical(ServiceLog::tunneld, "%s: provider did not report the tunnel up within %lld ms",
               qUtf8Printable(m_name), qint64(m_timing.connectBound.count()));
    stop(u"no connection in time"_s);
}

// Both channels are read to the end each time, each into its own bounded
// reader: a status line is never taken for a log line or the other way
// round, and a provider writing without end holds no more than a line.
void TunnelSession::readStatusLines() {
    if (!m_process)
        return;
    m_statusOutput.feed(m_process->readAllStandardOutput(), [this](QByteArrayView line, bool cut) {
        if (cut) // too long to be ours
            logFromProvider("provider wrote an overlong line: ", line, cut);
        else
            handleLine(line.toByteArray());
    });
}

void TunnelSession::readErrorLines() {
    if (!m_process)
        return;
    m_errorOutput.feed(m_process->readAllStandardError(), [this](QByteArrayView line, bool cut) {
        logFromProvider("provider: ", line, cut);
    });
}

void TunnelSession::logFromProvider(const char* what, QByteArrayView line, bool cut,
                                    bool critical) {
    line = line.trimmed();
    if (line.isEmpty())
        return;
    qint64 suppressed = 0;
    const bool shown = m_logRate.admit(&suppressed);
    if (suppressed > 0)
        qCInfo(ServiceLog::tunneld, "%s: provider: %lld more lines suppressed (over %d a second)",
               qUtf8Printable(m_name), suppressed, loggedLinesPerSecond);
    if (!shown)
        return;
    const QByteArray text = Log::printable(QString::fromUtf8(redacted(line.toByteArray())));
    const char* tail = cut ? " [line cut]" : "";
    if (critical)
        qCCritical(ServiceLog::tunneld, "%s: %s%s%s", qUtf8Printable(m_name), what,
                   text.constData(), tail);
    else
        qCInfo(ServiceLog::tunneld, "%s: %s%s%s", qUtf8Printable(m_name), what, text.constData(),
               tail);
}

void TunnelSession::handleLine(const QByteArray& line) {
    if (line.startsWith("error ")) {
        m_lastError = QString::fromUtf8(redacted(line.mid(6)));
        logFromProvider("provider error: ", QByteArrayView(line).sliced(6), false, true);
        return;
    }
    if (m_stopping)
        return;
    if (line == "status connected") {
        m_connectTimer.stop();
        setStatus(VpnStatus::connected);
    } else if (line == "status reasserting") {
        if (m_status == VpnStatus::connected)
            m_connectTimer.start(m_timing.connectBound);
        setStatus(VpnStatus::reasserting);
    } else if (line == "status connecting") {
        // Connecting already; nothing changes.
    } else {
        logFromProvider("provider said something unknown: ", line, false);
    }
}

void TunnelSession::handleExit(const QString& how) {
    QProcess* process = std::exchange(m_process, nullptr);
    if (process) {
        // Lines written just before the exit still count.
        m_process = process;
        readStatusLines();
        readErrorLines();
        m_statusOutput.finish(
            [this](QByteArrayView line, bool) { handleLine(line.toByteArray()); });
        m_errorOutput.finish(
            [this](QByteArrayView line, bool cut) { logFromProvider("provider: ", line, cut); });
        if (const qint64 suppressed = m_logRate.takeSuppressed(); suppressed > 0)
            qCInfo(ServiceLog::tunneld,
                   "%s: provider: %lld more lines suppressed (over %d a second)",
                   qUtf8Printable(m_name), suppressed, loggedLinesPerSecond);
        m_process = nullptr;
        process->disconnect(this);
        process->deleteLater();
    }
    m_connectTimer.stop();
    m_killTimer.stop();
    // Whatever the provider started goes with it.
    killGroup();
    m_records.remove(m_name);
    if (m_stopping)
        qCInfo(ServiceLog::tunneld, "%s: provider %s", qUtf8Printable(m_name), qUtf8Printable(how));
    else
        qCCritical(
            ServiceLog::tunneld, "%s: tunnel down: provider %s%s", qUtf8Printable(m_name),
            qUtf8Printable(how),
            m_lastError.isEmpty()
                ? ""
                : qUtf8Printable(u" ("_s + QString::fromUtf8(Log::printable(m_lastError)) + u')'));
    m_stopping = false;
    m_group = 0;
    setStatus(VpnStatus::disconnected);
    if (m_queued) {
        Pending next = std::move(*std::exchange(m_queued, std::nullopt));
        launch(std::move(next));
        return;
    }
    Q_EMIT ended();
}

QByteArray TunnelSession::redacted(QByteArray text) const {
    for (const QString& secret : m_secrets)
        text.replace(secret.toUtf8(), "[redacted]");
    return text;
}
