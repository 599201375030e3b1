#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>

// The service's own nftables table (inet halvoran_tunneld) that keeps a
// system-mode tunnel from leaking: from before its provider runs until the
// tunnel ends for good, nothing leaves but through the tunnel's interface,
// on loopback, as the engine's marked packets, or what the host needs to
// keep its link (DHCP, IPv6 neighbour and router discovery). Every change
// is one `nft -f -` transaction that replaces the table whole, so raising it
// twice never doubles a rule and a failed change leaves the old one. The
// changes run one after another, each within a bound and never blocking the
// service's thread (lowerNow, for start-up, excepted).
class Firewall final : public QObject {
    Q_OBJECT
public:
    // `program` is nft, run as root: a path, never looked up on a PATH.
    explicit Firewall(QString program, std::chrono::milliseconds bound = std::chrono::seconds(5),
                      QObject* parent = nullptr);

    // nft where the system keeps it (/usr/sbin, /sbin), or the first of them.
    static QString systemProgram();
    // The transactions, as nft reads them.
    static QByteArray raisingRules();
    static QByteArray loweringRules();

    // Puts the table in place (again); empty when it is, else why not.
    QCoro::Task<QString> raise();
    // Takes it away, there or not; empty when it is gone, else why not.
    QCoro::Task<QString> lower();
    // The same, blocking within the bound: only at start-up, before serving.
    QString lowerNow();
    // False once the table is known to be gone and nothing has raised it since.
    bool mayBeUp() const { return m_mayBeUp; }

Q_SIGNALS:
    void idle();

private:
    QCoro::Task<QString> change(QByteArray rules, bool raising);
    QCoro::Task<QString> runNft(QByteArray rules);

    QString m_program;
    std::chrono::milliseconds m_bound;
    bool m_busy = false;
    bool m_mayBeUp = true; // a run before this one may have left it
};
