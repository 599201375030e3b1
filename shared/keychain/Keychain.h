#pragma once

#include <QString>
#include <QStringView>

#include <optional>

class SecureItemStore;

// The subscription's two secrets in the desktop's secure storage, for the
// tunnel process. Each key is one generic-password item whose bytes are the
// text in UTF-8. Nothing is kept in memory: every call asks the store, from any
// thread, and failures are logged, never thrown.
namespace Keychain {

enum class Key { subscriptionToken, subscriptionURL };
QString rawValue(Key key);
// Only an exact, case-sensitive key string names a key.
std::optional<Key> keyFromRawValue(QStringView raw);

// Absent when there is no item, when it cannot be read (logged) or when its
// bytes are not UTF-8.
std::optional<QString> read(Key key);
// Replaces the item's text, or adds the item when there is none. False, with
// the failure logged, when the text was not stored; an existing item then
// keeps its old text.
bool write(Key key, const QString& value);
// Removes the item; a missing one is not a failure.
void deleteItem(Key key);

// Makes every operation use `store` (not owned) instead of the system's; null
// goes back to the system's. Returns the store used before, null for the
// system's.
SecureItemStore* useItemStore(SecureItemStore* store);

} // namespace Keychain
