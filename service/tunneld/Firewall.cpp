#include "service/tunneld/Firewall.h"

#include "shared/tunnel/TunnelContract.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr char table[] = "inet halvoran_tunneld";
// Most of nft's complaint that reaches an error message.
constexpr qsizetype maxReason = 400;

QProcessEnvironment nftEnvironment() {
    QProcessEnvironment environment;
    environment.insert(u"PATH"_s, u"/usr/sbin:/usr/bin:/sbin:/bin"_s);
    environment.insert(u"LANG"_s, u"C"_s);
    return environment;
}

// Declaring the table first makes the deletion succeed whether or not it
// was there, all in one transaction.
QByteArray replacing() {
    return QByteArray("table ") + table + "\ndelete table " + table + "\n";
}

QString seconds(std::chrono::milliseconds bound) {
    return QString::number(double(bound.count()) / 1000.0);
}

// nft with nothing of the service's: a fixed environment, no descriptor
// but the three it reads and writes.
void prepare(QProcess& process, const QString& program) {
    process.setProgram(program);
    process.setArguments({u"-f"_s, u"-"_s});
    process.setProcessEnvironment(nftEnvironment());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); });
}

QString missing(const QString& program) {
    return u"nft is not installed (no %1; install nftables)"_s.arg(program);
}

// Empty when nft did what it was given, else what it said.
QString outcome(QProcess& process) {
    if (process.exitStatus() != QProcess::NormalExit)
        return u"nft was killed by a signal"_s;
    if (process.exitCode() == 0)
        return {};
    const QString said = QString::fromLocal8Bit(process.readAllStandardError()).simplified();
    return said.isEmpty() ? u"nft exited with status %1"_s.arg(process.exitCode())
                          : u"nft: "_s + said.left(maxReason);
}

} // namespace

Firewall::Firewall(QString program, std::chrono::milliseconds bound, QObject* parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_bound(bound) {}

QString Firewall::systemProgram() {
    for (const QString& candidate : {u"/usr/sbin/nft"_s, u"/sbin/nft"_s})
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    return u"/usr/sbin/nft"_s;
}

QByteArray Firewall::raisingRules() {
    const QByteArray tun = TunnelContract::tunInterfaceName;
    const QByteArray mark = "0x" + QByteArray::number(TunnelContract::engineRoutingMark, 16);
    return replacing() + "table " + table + " {\n" +
           // Policy drop: whatever the engine has not taken over yet
           // (connecting, re-establishing, a restarted engine) waits.
           "  chain output {\n"
           "    type filter hook output priority filter; policy drop;\n"
           "    oifname \"lo\" accept\n"
           "    oifname \"" + tun + "\" accept\n"
           // The engine's own connections: its edges, and what the
           // configuration sends direct.
           "    meta mark " + mark + " accept\n"
           // Keeping the link: DHCP leases, and IPv6 neighbours and routers.
           "    meta nfproto ipv4 udp sport 68 udp dport 67 accept\n"
           "    meta nfproto ipv6 udp sport 546 udp dport 547 accept\n"
           "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert, "
           "mld-listener-report, mld2-listener-report } accept\n"
           "  }\n"
           // Containers and virtual machines route through the host: they
           // reach out through the tunnel only, and hear back through it.
           "  chain forward {\n"
           "    type filter hook forward priority filter; policy drop;\n"
           "    oifname \"" + tun + "\" accept\n"
           "    iifname \"" + tun + "\" ct state established,related accept\n"
           "  }\n"
           "}\n";
}

QByteArray Firewall::loweringRules() {
    return replacing();
}

QCoro::Task<QString> Firewall::raise() {
    return change(raisingRules(), true);
}

QCoro::Task<QString> Firewall::lower() {
    return change(loweringRules(), false);
}

QCoro::Task<QString> Firewall::change(QByteArray rules, bool raising) {
    // One at a time, in the order asked: a lowering still running must not
    // land after the raising that followed it.
    QPointer<Firewall> self = this;
    while (m_busy)
        co_await qCoro(this, &Firewall::idle);
    m_busy = true;
    QCoro::Task<QString> running = runNft(std::move(rules));
    const QString error = co_await running;
    if (self) {
        if (error.isEmpty())
            m_mayBeUp = raising;
        m_busy = false;
        Q_EMIT idle();
    }
    co_return error;
}

QCoro::Task<QString> Firewall::runNft(QByteArray rules) {
    if (!QFileInfo(m_program).isExecutable())
        co_return missing(m_program);
    QProcess process;
    prepare(process, m_program);
    QElapsedTimer elapsed;
    elapsed.start();
    QCoro::Task<bool> starting = qCoro(process).start(QIODevice::ReadWrite, m_bound);
    if (!co_await starting)
        co_return u"cannot run %1: %2"_s.arg(m_program, process.errorString());
    process.write(rules);
    process.closeWriteChannel();
    const auto left = std::max(m_bound - std::chrono::milliseconds(elapsed.elapsed()),
                               std::chrono::milliseconds(1));
    QCoro::Task<bool> finishing = qCoro(process).waitForFinished(left);
    if (!co_await finishing) {
        process.kill();
        QCoro::Task<bool> killed = qCoro(process).waitForFinished(std::chrono::seconds(1));
        co_await killed;
        co_return u"nft did not finish within %1 seconds"_s.arg(seconds(m_bound));
    }
    co_return outcome(process);
}

QString Firewall::lowerNow() {
    if (!QFileInfo(m_program).isExecutable())
        return missing(m_program);
    QProcess process;
    prepare(process, m_program);
    process.start();
    if (!process.waitForStarted(int(m_bound.count())))
        return u"cannot run %1: %2"_s.arg(m_program, process.errorString());
    process.write(loweringRules());
    process.closeWriteChannel();
    if (!process.waitForFinished(int(m_bound.count()))) {
        process.kill();
        process.waitForFinished(1000);
        return u"nft did not finish within %1 seconds"_s.arg(seconds(m_bound));
    }
    QString error = outcome(process);
    if (error.isEmpty())
        m_mayBeUp = false;
    return error;
}
