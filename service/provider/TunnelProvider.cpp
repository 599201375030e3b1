#include "service/provider/TunnelProvider.h"

#include "service/provider/Privileges.h"
#include "service/provider/ProviderLog.h"
#include "service/provider/UserStore.h"
#include "shared/log/Log.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype maxLoggedOmissions = 40;

// The interface of the main routing table's default route, as the kernel
// lists it; empty when there is none.
QString defaultRouteInterface() {
    QFile routes(u"/proc/net/route"_s);
    if (!routes.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = routes.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        // Iface Destination Gateway Flags ... Mask: an up route to 0.0.0.0/0.
        if (fields.size() >= 8 && fields[1] == "00000000" && fields[7] == "00000000" &&
            (fields[3].toUInt(nullptr, 16) & 0x1))
            return QString::fromUtf8(fields[0]);
    }
    return {};
}

QString routingText(SharedDefaults::RoutingMode mode) {
    return mode == SharedDefaults::RoutingMode::global ? u"global"_s : u"selective"_s;
}

} // namespace

TunnelProvider::TunnelProvider(Options options, std::function<void(const QByteArray&)> report,
                               QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_report(std::move(report)) {}

TunnelProvider::~TunnelProvider() = default;

void TunnelProvider::start() {
    if (m_phase != Phase::idle)
        return;
    m_phase = Phase::connecting;
    m_report("status connecting");
    launch();
}

void TunnelProvider::launch() {
    const QString program = QStandardPaths::findExecutable(u"sing-box"_s);
    if (program.isEmpty()) {
        fail(u"sing-box is not installed: install the sing-box engine and make sure it is on "
             "the PATH"_s);
        return;
    }
    // Only the engine that gets capabilities must be one no user can replace.
    const bool system = m_options.mode == EffectiveConfig::TunnelMode::system;
    QString problem;
    Privileges::Descriptor programFile = Privileges::openProgram(program, system, &problem);
    if (!programFile.isValid()) {
        fail((system ? u"the tunnel will not give sing-box network privileges: "_s
                     : u"cannot open sing-box: "_s) +
             problem);
        return;
    }
    EffectiveConfig::Result built;
    EffectiveConfig::Inputs inputs;
    try {
        inputs = UserStore::read(m_options.mode, m_options.proxyPort);
        built = EffectiveConfig::build(inputs);
    } catch (const EffectiveConfig::BuildError& error) {
        fail(QString::fromStdString(error.what()));
        return;
    }
    if (!built.leftOut.isEmpty()) {
        const QStringList shown = built.leftOut.mid(0, maxLoggedOmissions);
        qCInfo(providerLog, "left out of the engine's configuration: %s%s",
               Log::printable(shown.join(u", ")).constData(),
               built.leftOut.size() > shown.size() ? ", ..." : "");
    }
    if (!built.missingRulesets.isEmpty())
        qCCritical(providerLog, "rule-sets without a downloaded file, left out: %s",
                   Log::printable(built.missingRulesets.join(u", ")).constData());

    m_summary =
        u"%1 mode, %2 routing, edge %3, %4 rule-sets"_s
            .arg(m_options.mode == EffectiveConfig::TunnelMode::system ? u"system"_s : u"session"_s,
                 routingText(inputs.routing), built.edge)
            .arg(built.rulesets.size());
    if (!built.missingRulesets.isEmpty())
        m_summary += u" (%1 not downloaded)"_s.arg(built.missingRulesets.size());

    if (m_engine)
        m_engine->deleteLater();
    m_engine =
        new EngineRunner({program, std::move(programFile), QJsonDocument(built.config).toJson(),
                          m_options.startTimeout, m_options.stopGrace},
                         this);
    connect(m_engine, &EngineRunner::ready, this, &TunnelProvider::engineReady);
    connect(m_engine, &EngineRunner::failed, this, &TunnelProvider::fail);
    connect(m_engine, &EngineRunner::stopped, this, &TunnelProvider::engineStopped);
    connect(m_engine, &EngineRunner::died, this, &TunnelProvider::engineDied);
    connect(m_engine, &EngineRunner::boundInterface, this, [this](const QString& name) {
        m_interfaceReported = true;
        UserStore::recordBoundInterface(name);
    });
    qCInfo(providerLog, "starting sing-box: %s", Log::printable(m_summary).constData());
    m_engine->start();
}

void TunnelProvider::engineReady() {
    if (m_phase != Phase::connecting && m_phase != Phase::reasserting)
        return;
    m_phase = Phase::connected;
    // Noted before it is reported, so whoever hears "connected" finds it.
    note(u"connected: "_s + m_summary);
    m_report("status connected");
    qCInfo(providerLog, "connected: %s", Log::printable(m_summary).constData());
    if (!m_interfaceReported) {
        if (const QString name = defaultRouteInterface(); !name.isEmpty())
            UserStore::recordBoundInterface(name);
    }
}

void TunnelProvider::reassert() {
    if (m_phase != Phase::connecting && m_phase != Phase::connected &&
        m_phase != Phase::reasserting)
        return;
    m_phase = Phase::restarting;
    m_report("status reasserting");
    qCInfo(providerLog, "re-establishing the tunnel");
    m_engine->stop();
}

void TunnelProvider::engineStopped() {
    if (m_phase == Phase::restarting) {
        m_phase = Phase::reasserting;
        launch();
    } else if (m_phase == Phase::stopping) {
        qCInfo(providerLog, "stopped");
        note(u"stopped"_s);
        finish(0);
    }
}

// The tunnel service keeps its firewall while the provider runs, so the
// user's traffic waits for the new engine instead of leaving outside the
// tunnel; an engine that keeps dying ends the provider, and with it the
// firewall, rather than holding the user's network hostage.
void TunnelProvider::engineDied(const QString& reason) {
    if (m_phase != Phase::connected) {
        fail(reason);
        return;
    }
    m_restarts.removeIf([](const QDeadlineTimer& until) { return until.hasExpired(); });
    if (m_restarts.size() >= m_options.restartLimit) {
        fail(reason + u" (it died %1 times within %2 seconds)"_s.arg(m_restarts.size() + 1)
                          .arg(m_options.restartWindow.count() / 1000.0));
        return;
    }
    m_restarts.append(QDeadlineTimer(m_options.restartWindow));
    m_phase = Phase::reasserting;
    m_report("status reasserting");
    qCCritical(providerLog, "%s; starting it again", Log::printable(reason).constData());
    note(u"restarting: "_s + reason);
    launch();
}

void TunnelProvider::stop() {
    if (m_phase == Phase::stopping || m_phase == Phase::done)
        return;
    const bool running = m_engine && m_engine->isRunning();
    m_phase = Phase::stopping;
    if (running) {
        m_engine->stop();
    } else {
        note(u"stopped"_s);
        finish(0);
    }
}

void TunnelProvider::fail(const QString& reason) {
    if (m_phase == Phase::stopping || m_phase == Phase::done)
        return;
    m_report("error " + Log::printable(reason));
    qCCritical(providerLog, "%s", Log::printable(reason).constData());
    note(u"error: "_s + reason);
    finish(1);
}

void TunnelProvider::finish(int code) {
    m_phase = Phase::done;
    Q_EMIT finished(code);
}

void TunnelProvider::note(const QString& state) {
    UserStore::recordDiagnostics(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) +
                                 u' ' + state);
}
