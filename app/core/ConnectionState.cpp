#include "app/core/ConnectionState.h"

bool ConnectionState::isActivated() const {
    return m_kind != Kind::notActivated && m_kind != Kind::needsExtensionApproval &&
           m_kind != Kind::activating;
}

bool ConnectionState::isTunnelActive() const {
    return m_kind == Kind::connecting || m_kind == Kind::connected ||
           m_kind == Kind::disconnecting;
}
