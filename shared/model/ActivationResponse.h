#pragma once

#include <QDateTime>
#include <QString>

class JsonNode;
class JsonEncoder;
class QJsonObject;

// The service's answer to a successful activation. `subscriptionUrl` is an
// absolute URL, or a path to append to the service's address when it does not
// begin with "http".
class ActivationResponse {
public:
    ActivationResponse(QString subscriptionUrl, QDateTime expiresAt);

    const QString& subscriptionUrl() const { return m_subscriptionUrl; }
    const QDateTime& expiresAt() const { return m_expiresAt; }

    static ActivationResponse decode(const JsonNode& node);
    QJsonObject encode(const JsonEncoder& encoder) const;

private:
    QString m_subscriptionUrl;
    QDateTime m_expiresAt;
};
