#include "service/provider/EngineRunner.h"

#include "service/provider/ProviderLog.h"
#include "shared/log/Log.h"

#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype maxLineBytes = 4096;
// Lines of the engine's that reach the journal in one second; every line
// still counts for its state (started, interface, last words).
constexpr int loggedLinesPerSecond = LineRate::defaultPerSecond;
constexpr qsizetype keptLines = 20;

// Terminal colours, which the engine may write even into a pipe.
const QRegularExpression& colourCodes() {
    static const QRegularExpression pattern(u"\x1b\\[[0-9;]*[A-Za-z]"_s);
    return pattern;
}

const QRegularExpression& interfaceLine() {
    static const QRegularExpression pattern(u"default interface ([^\\s,]+)"_s);
    return pattern;
}

// The configuration in a sealed memory file: it holds the edges' credentials,
// so it is never on disk, and nobody (the engine included) can change it
// after the provider has built it. The engine reads it through the
// descriptor it inherits; the user cannot open that descriptor of a process
// that holds capabilities the user lacks.
Privileges::Descriptor sealedConfiguration(const QByteArray& data, QString* error) {
    Privileges::Descriptor file(
        ::memfd_create("halvoran-engine-config", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    qsizetype written = 0;
    while (file.isValid() && written < data.size()) {
        const ssize_t n =
            ::write(file.get(), data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    if (!file.isValid() || written != data.size() || ::lseek(file.get(), 0, SEEK_SET) != 0 ||
        ::fcntl(file.get(), F_ADD_SEALS,
                F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    return file;
}

bool isErrorLine(const QString& line) {
    return line.startsWith(u"FATAL") || line.startsWith(u"ERROR") || line.contains(u" FATAL") ||
           line.contains(u" ERROR");
}

} // namespace

EngineRunner::EngineRunner(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_output(maxLineBytes) {
    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, [this] {
        fail(u"sing-box did not report that it had started within %1 seconds"_s.arg(
            double(m_options.startTimeout.count()) / 1000.0));
    });
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, [this] {
        if (!m_process)
            return;
        qCCritical(providerLog, "sing-box did not stop within %lld ms; killing it",
                   qint64(m_options.stopGrace.count()));
        m_process->kill();
    });
}

EngineRunner::~EngineRunner() {
    if (!isRunning())
        return;
    m_process->disconnect(this);
    m_process->kill();
    m_process->waitForFinished(1000);
}

bool EngineRunner::isRunning() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

void EngineRunner::start() {
    m_state = State::starting;
    m_output = OutputLines(maxLineBytes);
    m_recent.clear();
    QString problem;
    const Privileges::Descriptor config = sealedConfiguration(m_options.configuration, &problem);
    if (!config.isValid()) {
        m_state = State::failed;
        Q_EMIT failed(u"cannot hand sing-box its configuration: "_s + problem);
        return;
    }
    m_process = new QProcess(this);
    // The engine runs from the descriptor it was checked through, not from
    // its name, which could lead elsewhere by now. QProcess still does the
    // exec, so a failure is reported as usual; the descriptor is kept open
    // across it because an interpreter opens a script by that same name
    // after the exec (close-on-exec would close it first).
    const int programFd = m_options.programFile.get();
    m_process->setProgram(u"/proc/self/fd/%1"_s.arg(programFd));
    m_process->setArguments({u"run"_s, u"-c"_s, u"/proc/self/fd/%1"_s.arg(config.get())});
    // Nothing of the engine's belongs in a folder: the configuration is in
    // memory, and it keeps no cache (cache_file is never enabled).
    m_process->setWorkingDirectory(u"/"_s);
    // The provider's own output is its report to the tunnel service; the
    // engine's goes to the journal.
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardInputFile(QProcess::nullDevice());
    const pid_t provider = ::getpid();
    m_process->setChildProcessModifier([provider, programFd, configFd = config.get()] {
        // The provider takes its signals through a descriptor, with them
        // blocked; the engine must get them the ordinary way. And it must
        // not outlive the provider, even one killed outright.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != provider)
            ::_exit(127);
        // Whatever else the provider holds stays with it; the program and
        // the configuration pass under their own numbers, so none of
        // QProcess's descriptors is overwritten (its pipes still close at exec).
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        if (::fcntl(programFd, F_SETFD, 0) != 0 || ::fcntl(configFd, F_SETFD, 0) != 0)
            ::_exit(127);
    });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &EngineRunner::readOutput);
    connect(m_process, &QProcess::finished, this, &EngineRunner::handleExit);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(u"sing-box could not be started: "_s + m_process->errorString());
    });
    m_startTimer.start(m_options.startTimeout);
    m_process->start();
    // The engine has its copy; the provider needs none.
}

void EngineRunner::stop() {
    m_startTimer.stop();
    if (!isRunning()) {
        m_state = State::idle;
        QMetaObject::invokeMethod(this, &EngineRunner::stopped, Qt::QueuedConnection);
        return;
    }
    if (m_state == State::stopping)
        return;
    m_state = State::stopping;
    m_process->terminate();
    m_killTimer.start(m_options.stopGrace);
}

void EngineRunner::readOutput() {
    m_output.feed(m_process->readAllStandardOutput(),
                  [this](QByteArrayView line, bool cut) { handleLine(line, cut); });
}

void EngineRunner::handleLine(QByteArrayView bytes, bool cut) {
    QString line = QString::fromUtf8(bytes).remove(colourCodes()).trimmed();
    if (line.isEmpty())
        return;
    qint64 suppressed = 0;
    const bool logged = m_logRate.admit(&suppressed);
    if (suppressed > 0)
        qCInfo(providerLog, "sing-box: %lld more lines suppressed (over %d a second)", suppressed,
               loggedLinesPerSecond);
    if (logged) {
        const QByteArray shown = Log::printable(line) + (cut ? " [line cut]" : "");
        if (isErrorLine(line))
            qCCritical(providerLog, "sing-box: %s", shown.constData());
        else
            qCInfo(providerLog, "sing-box: %s", shown.constData());
    }
    m_recent.append(line);
    if (m_recent.size() > keptLines)
        m_recent.removeFirst();
    if (const QRegularExpressionMatch match = interfaceLine().match(line); match.hasMatch())
        Q_EMIT boundInterface(match.captured(1));
    if (m_state == State::starting && line.contains(u"sing-box started")) {
        m_state = State::running;
        m_startTimer.stop();
        Q_EMIT ready();
    }
}

QString EngineRunner::lastWords() const {
    for (auto it = m_recent.rbegin(); it != m_recent.rend(); ++it) {
        if (isErrorLine(*it))
            return *it;
    }
    return m_recent.isEmpty() ? QString() : m_recent.last();
}

void EngineRunner::handleExit(int code, QProcess::ExitStatus status) {
    m_startTimer.stop();
    m_killTimer.stop();
    m_output.finish([this](QByteArrayView line, bool cut) { handleLine(line, cut); });
    if (const qint64 suppressed = m_logRate.takeSuppressed(); suppressed > 0)
        qCInfo(providerLog, "sing-box: %lld more lines suppressed (over %d a second)", suppressed,
               loggedLinesPerSecond);
    m_process->deleteLater();
    m_process = nullptr;
    const State was = std::exchange(m_state, State::idle);
    if (was == State::stopping) {
        Q_EMIT stopped();
        return;
    }
    if (was == State::failed)
        return;
    QString reason =
        was == State::starting ? u"sing-box could not start"_s : u"sing-box stopped unexpectedly"_s;
    reason += status == QProcess::CrashExit ? u" (ended by a signal)"_s
                                            : u" (exit status %1)"_s.arg(code);
    if (const QString words = lastWords(); !words.isEmpty())
        reason += u": "_s + words;
    m_state = State::failed;
    if (was == State::running)
        Q_EMIT died(reason);
    else
        Q_EMIT failed(reason);
}

void EngineRunner::fail(const QString& reason) {
    if (m_state == State::failed || m_state == State::idle)
        return;
    m_state = State::failed;
    m_startTimer.stop();
    if (isRunning()) {
        m_process->kill(); // its exit is not reported again
    } else if (m_process) {
        m_process->deleteLater();
        m_process = nullptr;
    }
    Q_EMIT failed(reason);
}
