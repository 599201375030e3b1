#pragma once

#include "app/core/ConnectionState.h"
#include "shared/model/SubscriptionMetadata.h"

#include <QString>

#include <optional>

// What the tray item shows for a state: its icon, the menu's header and the
// action item under it.
struct MenuBarPresentation {
    enum class Action { none, open, connect, disconnect };

    // A symbol name of the bundled icon set.
    QString iconName;
    QString statusTitle;
    // The action item's title; in the passing states the header again.
    QString actionTitle;
    // `none`: the item cannot be chosen and has no key.
    Action action;
    // The key of the action item's shortcut, empty when it has none.
    QString key;

    static MenuBarPresentation forState(const ConnectionState& state,
                                        const std::optional<SubscriptionMetadata>& metadata);
};
