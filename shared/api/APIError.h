#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>

// Why an exchange with the service failed, with the text the app shows.
class APIError : public std::exception {
public:
    enum class Kind { http, transport, decoding, noToken };

    // The service answered with a status outside 200 to 299, and perhaps a message.
    static APIError http(int status, std::optional<QString> detail);
    // The request did not complete; `underlying` is the platform's description.
    static APIError transport(QString underlying);
    // A success answer whose body does not decode.
    static APIError decoding(QString underlying);
    // No subscription token is stored (raised by the app, never by the client).
    static APIError noToken();

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    const std::optional<QString>& detail() const { return m_detail; }
    const QString& underlying() const { return m_underlying; }

    QString errorDescription() const;
    // The service no longer knows the subscription: 410, or 404 about the token.
    bool isSubscriptionGone() const;
    bool isUnauthorized() const;

    const char* what() const noexcept override { return m_what.constData(); }

private:
    APIError(Kind kind, int status, std::optional<QString> detail, QString underlying);

    Kind m_kind;
    int m_status;
    std::optional<QString> m_detail;
    QString m_underlying;
    QByteArray m_what;
};
