#include "app/shell/MenuBarPresentation.h"

using namespace Qt::StringLiterals;
using Kind = ConnectionState::Kind;
using Action = MenuBarPresentation::Action;

MenuBarPresentation
MenuBarPresentation::forState(const ConnectionState& state,
                              const std::optional<SubscriptionMetadata>& metadata) {
    const auto passing = [](const QString& title) {
        return MenuBarPresentation{u"lock.rotation"_s, title, title, Action::none, {}};
    };
    switch (state.kind()) {
    case Kind::notActivated:
        return {u"lock.open"_s, u"Not activated"_s, u"Open VPN…"_s, Action::open, u"o"_s};
    case Kind::needsExtensionApproval:
        return {u"lock.open"_s, u"Waiting for approval…"_s, u"Open VPN…"_s, Action::open, u"o"_s};
    case Kind::activating:
        return passing(u"Activating…"_s);
    case Kind::idle:
        return {u"lock.open"_s, u"Disconnected"_s, u"Connect"_s, Action::connect, u"k"_s};
    case Kind::connecting:
        return passing(u"Connecting…"_s);
    case Kind::connected: {
        QString title = u"Connected"_s;
        if (metadata && !metadata->edges().isEmpty())
            title += u" · "_s + metadata->edges().first().region;
        return {u"lock.fill"_s, title, u"Disconnect"_s, Action::disconnect, u"k"_s};
    }
    case Kind::disconnecting:
        return passing(u"Disconnecting…"_s);
    case Kind::error:
        return {u"exclamationmark.triangle.fill"_s, u"Error: "_s + state.message(), u"Connect"_s,
                Action::connect, u"k"_s};
    }
    return passing({});
}
