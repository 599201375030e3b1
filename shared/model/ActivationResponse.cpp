#include "shared/model/ActivationResponse.h"

#include "shared/coding/JsonCoding.h"

using namespace Qt::StringLiterals;

ActivationResponse::ActivationResponse(QString subscriptionUrl, QDateTime expiresAt)
    : m_subscriptionUrl(std::move(subscriptionUrl))
    , m_expiresAt(std::move(expiresAt)) {}

ActivationResponse ActivationResponse::decode(const JsonNode& node) {
    return {node.required("subscriptionUrl"_L1).toText(), node.required("expiresAt"_L1).toDate()};
}

QJsonObject ActivationResponse::encode(const JsonEncoder& encoder) const {
    return {{encoder.key("subscriptionUrl"_L1), m_subscriptionUrl},
            {encoder.key("expiresAt"_L1), encoder.date(m_expiresAt)}};
}
