#pragma once

#include "service/OutputLines.h"
#include "service/provider/Privileges.h"

#include <QObject>
#include <QProcess>
#include <QTimer>

#include <chrono>

// Runs the engine (`sing-box run -c /proc/self/fd/N`) as a child process and
// says when it is up, when it stops, and why it failed. The engine counts as
// up once it writes its own "sing-box started" line, which it does after
// every inbound listens (the TUN device is up, or the proxy port accepts);
// the stand-in engine of the tests writes the same line. What the engine
// writes goes to the journal, a capped number of lines a second, never to
// the provider's own output.
class EngineRunner final : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString program;                    // absolute path of the engine, for messages
        Privileges::Descriptor programFile; // the engine as opened (and checked): what runs
        QByteArray configuration;           // the effective configuration (holds credentials)
        std::chrono::milliseconds startTimeout{20000};
        std::chrono::milliseconds stopGrace{5000};
    };

    explicit EngineRunner(Options options, QObject* parent = nullptr);
    ~EngineRunner() override;

    // Starts the engine; then exactly one of ready() or failed() follows,
    // unless stop() comes first. After ready(), an engine that ends unasked
    // says so with died().
    void start();
    // Asks the engine to end (SIGTERM), kills it after the grace period;
    // stopped() follows, at once when it is not running.
    void stop();
    bool isRunning() const;

Q_SIGNALS:
    void ready();
    void failed(const QString& reason);
    // The engine ended on its own after it had started; failed() does not follow.
    void died(const QString& reason);
    void stopped();
    // The engine reported the physical interface its traffic leaves by.
    void boundInterface(const QString& name);

private:
    void readOutput();
    void handleLine(QByteArrayView bytes, bool cut);
    void handleExit(int code, QProcess::ExitStatus status);
    void fail(const QString& reason);
    QString lastWords() const;

    enum class State { idle, starting, running, stopping, failed };

    Options m_options;
    QProcess* m_process = nullptr;
    OutputLines m_output;
    LineRate m_logRate;
    QStringList m_recent; // the last lines, for a failure's reason
    QTimer m_startTimer;
    QTimer m_killTimer;
    State m_state = State::idle;
};
