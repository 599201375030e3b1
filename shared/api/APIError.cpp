#include "shared/api/APIError.h"

using namespace Qt::StringLiterals;

APIError::APIError(Kind kind, int status, std::optional<QString> detail, QString underlying)
    : m_kind(kind)
    , m_status(status)
    , m_detail(std::move(detail))
    , m_underlying(std::move(underlying))
    , m_what(errorDescription().toUtf8()) {}

APIError APIError::http(int status, std::optional<QString> detail) {
    return {Kind::http, status, std::move(detail), {}};
}
APIError APIError::transport(QString underlying) {
    return {Kind::transport, 0, {}, std::move(underlying)};
}
APIError APIError::decoding(QString underlying) {
    return {Kind::decoding, 0, {}, std::move(underlying)};
}
APIError APIError::noToken() {
    return {Kind::noToken, 0, {}, {}};
}

QString APIError::errorDescription() const {
    switch (m_kind) {
    case Kind::http:
        if (m_detail) {
            // Upper-case the first character (a whole code point), keep the rest.
            const QString& d = *m_detail;
            const qsizetype first = d.size() > 1 && d[0].isHighSurrogate() ? 2 : 1;
            return d.isEmpty() ? d : d.first(first).toUpper() + d.sliced(first);
        }
        return u"Request failed (HTTP "_s + QString::number(m_status) + u')';
    case Kind::transport:
        return u"Network error: "_s + m_underlying;
    case Kind::decoding:
        return u"Bad server response: "_s + m_underlying;
    case Kind::noToken:
        return u"No subscription token stored"_s;
    }
    return {};
}

bool APIError::isSubscriptionGone() const {
    if (m_kind != Kind::http)
        return false;
    return m_status == 410 ||
           (m_status == 404 && m_detail && m_detail->toLower().contains(u"token"));
}

bool APIError::isUnauthorized() const {
    return m_kind == Kind::http && m_status == 401;
}
