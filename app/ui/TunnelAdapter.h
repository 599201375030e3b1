#pragma once

#include "app/core/TunnelController.h"
#include "app/ui/Presentation.h"
#include "app/ui/RulesetDotsModel.h"

#include <QJSValue>
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

class Clock;
class Desktop;

// The tunnel controller as the screens read it: its state, metadata and
// health in forms QML can bind to, already turned into captions, colours and
// texts. Its operations start the controller's work as main-thread jobs and
// return at once; the screens follow the controller's published state.
class TunnelAdapter final : public QObject {
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(ConnectionState::Kind state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString stateMessage READ stateMessage NOTIFY stateChanged)
    Q_PROPERTY(bool isActivated READ isActivated NOTIFY stateChanged)
    Q_PROPERTY(bool isTunnelActive READ isTunnelActive NOTIFY stateChanged)
    Q_PROPERTY(QString pillLabel READ pillLabel NOTIFY stateChanged)
    Q_PROPERTY(Presentation::Tone pillTone READ pillTone NOTIFY stateChanged)
    Q_PROPERTY(Presentation::PowerButton powerButton READ powerButton NOTIFY stateChanged)

    Q_PROPERTY(bool hasMetadata READ hasMetadata NOTIFY metadataChanged)
    Q_PROPERTY(QStringList visibleRulesets READ visibleRulesets NOTIFY metadataChanged)
    Q_PROPERTY(int edgeCount READ edgeCount NOTIFY metadataChanged)
    Q_PROPERTY(bool hasExpiry READ hasExpiry NOTIFY metadataChanged)
    Q_PROPERTY(QString expiryLongText READ expiryLongText NOTIFY metadataChanged)
    Q_PROPERTY(QString expiryShortText READ expiryShortText NOTIFY metadataChanged)
    Q_PROPERTY(QString lastRefreshText READ lastRefreshText NOTIFY metadataChanged)
    // Also move with the clock, with no new metadata (an offline device).
    Q_PROPERTY(QString remainingText READ remainingText NOTIFY remainingChanged)
    Q_PROPERTY(Presentation::Tone remainingTone READ remainingTone NOTIFY remainingChanged)
    Q_PROPERTY(RulesetDotsModel* rulesetDots READ rulesetDots CONSTANT)

    Q_PROPERTY(QString activationNotice READ activationNotice NOTIFY activationNoticeChanged)
    // The routing mode: global, else selective.
    Q_PROPERTY(bool globalRouting READ globalRouting WRITE setGlobalRouting NOTIFY
                   routingModeChanged)
public:
    TunnelAdapter(TunnelController& tunnel, Desktop& desktop, std::shared_ptr<Clock> clock,
                  QObject* parent = nullptr);

    ConnectionState::Kind state() const { return m_tunnel.state().kind(); }
    QString stateMessage() const { return m_tunnel.state().message(); }
    bool isActivated() const { return m_tunnel.state().isActivated(); }
    bool isTunnelActive() const { return m_tunnel.state().isTunnelActive(); }
    QString pillLabel() const;
    Presentation::Tone pillTone() const;
    Presentation::PowerButton powerButton() const;

    bool hasMetadata() const { return m_tunnel.metadata().has_value(); }
    QStringList visibleRulesets() const;
    int edgeCount() const;
    bool hasExpiry() const;
    QString expiryLongText() const;
    QString expiryShortText() const;
    QString lastRefreshText() const;
    QString remainingText() const;
    Presentation::Tone remainingTone() const;
    // One row per visible rule-set, sorted by name.
    RulesetDotsModel* rulesetDots() { return &m_dots; }

    // Empty when there is no notice.
    QString activationNotice() const { return m_tunnel.activationNotice().value_or(QString()); }
    bool globalRouting() const;
    // Stores the mode at once; a running tunnel is restarted to apply it.
    void setGlobalRouting(bool global);

    Q_INVOKABLE bool canActivate(const QString& code) const;
    // Starts an activation with the trimmed code; an empty one starts nothing.
    Q_INVOKABLE void activate(const QString& code);
    // The power button: disconnects a tunnel that is up or on its way, else connects.
    Q_INVOKABLE void power();
    Q_INVOKABLE void connectTunnel();
    Q_INVOKABLE void disconnectTunnel();
    Q_INVOKABLE void refreshMetadata(bool force);
    // `done` is called when the job ends, unless `context` is gone by then.
    Q_INVOKABLE void reloadRulesets(QObject* context, QJSValue done);
    Q_INVOKABLE void signOut(QObject* context, QJSValue done);
    // Asks the system again for the extension's approval.
    Q_INVOKABLE void requestApproval();
    Q_INVOKABLE QString diagnosticReport() const;

Q_SIGNALS:
    void stateChanged();
    void metadataChanged();
    void remainingChanged();
    void activationNoticeChanged();
    void routingModeChanged();

private:
    // Announces the remaining time anew and arms the timer for its next change.
    void reviewRemaining();
    void updateDots();

    TunnelController& m_tunnel;
    Desktop& m_desktop;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<ClockTimer> m_remainingTimer;
    RulesetDotsModel m_dots;
};
