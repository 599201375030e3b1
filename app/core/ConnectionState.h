#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// What the app shows about the VPN: one of eight cases, the error case with
// the message the user reads verbatim. Carries no display text of its own.
class ConnectionState {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind CONSTANT)
    Q_PROPERTY(QString message READ message CONSTANT)
    Q_PROPERTY(bool isActivated READ isActivated CONSTANT)
    Q_PROPERTY(bool isTunnelActive READ isTunnelActive CONSTANT)
public:
    enum class Kind {
        notActivated,
        needsExtensionApproval,
        activating,
        idle,
        connecting,
        connected,
        disconnecting,
        error,
    };
    Q_ENUM(Kind)

    ConnectionState(Kind kind = Kind::notActivated)
        : m_kind(kind) {}
    static ConnectionState error(QString message) {
        ConnectionState state(Kind::error);
        state.m_message = std::move(message);
        return state;
    }

    Kind kind() const { return m_kind; }
    // The error's text; empty for every other case.
    const QString& message() const { return m_message; }

    // A subscription is set up (an error included): past activation.
    bool isActivated() const;
    // The tunnel is up or on its way up or down.
    bool isTunnelActive() const;

    // Same case, and for errors the same message.
    friend bool operator==(const ConnectionState&, const ConnectionState&) = default;

private:
    Kind m_kind;
    QString m_message;
};

Q_DECLARE_METATYPE(ConnectionState)
