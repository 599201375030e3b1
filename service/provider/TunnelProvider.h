#pragma once

#include "service/provider/EffectiveConfig.h"
#include "service/provider/EngineRunner.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>

#include <functional>

// The tunnel as the tunnel service sees it: started once, re-established on
// request, stopped on request, and reported line by line ("status
// connecting", "status connected", "status reasserting", "error <reason>").
// Each start or re-establishment reads the user's store afresh, so a new
// routing mode, preferred edge or rule-set takes effect with it.
class TunnelProvider final : public QObject {
    Q_OBJECT
public:
    struct Options {
        EffectiveConfig::TunnelMode mode = EffectiveConfig::TunnelMode::session;
        quint16 proxyPort = 47833;
        std::chrono::milliseconds startTimeout{20000};
        std::chrono::milliseconds stopGrace{5000};
        // An engine that dies while connected is started again, at most this
        // many times within the window; one more death ends the provider.
        int restartLimit = 3;
        std::chrono::milliseconds restartWindow{60000};
    };
    // `report` writes one line to the tunnel service.
    TunnelProvider(Options options, std::function<void(const QByteArray&)> report,
                   QObject* parent = nullptr);
    ~TunnelProvider() override;

    void start();
    // Re-establishes the tunnel: the engine is stopped and started again.
    void reassert();
    // Stops the engine and ends with exit code 0.
    void stop();

Q_SIGNALS:
    // The provider is done; the process ends with `code`.
    void finished(int code);

private:
    enum class Phase { idle, connecting, connected, reasserting, restarting, stopping, done };

    void launch();
    void engineReady();
    void engineStopped();
    void engineDied(const QString& reason);
    void fail(const QString& reason);
    void finish(int code);
    void note(const QString& state);

    Options m_options;
    std::function<void(const QByteArray&)> m_report;
    EngineRunner* m_engine = nullptr;
    Phase m_phase = Phase::idle;
    QString m_summary; // the configuration in use, for the diagnostics
    bool m_interfaceReported = false;
    QList<QDeadlineTimer> m_restarts; // when each restart of the window stops counting
};
