#pragma once

#include "platform/SecureItemStore.h"

#include <mutex>

// Items in the Secret Service of the user's D-Bus session (gnome-keyring,
// KWallet, KeePassXC), through libsecret. Each item carries the query's four
// attributes under our schema, so other programs' items never match, and its
// bytes are the secret. Items are searched for in every collection and added
// to the default one.
//
// Nothing here prompts: a locked item or collection answers authFailed, and a
// missing default collection noDefaultKeychain, where libsecret would
// otherwise ask for a password and wait for an answer that may never come.
class SecretServiceItemStore final : public SecureItemStore {
public:
    static constexpr char schemaName[] = "dev.morvel.vpn.GenericPassword";

    int copyMatching(const SecureItemQuery& query, QByteArray* data) override;
    int update(const SecureItemQuery& query, const QByteArray& data) override;
    int add(const SecureItemQuery& query, const QByteArray& data) override;
    int remove(const SecureItemQuery& query) override;

private:
    // One operation at a time, so that add's search for a duplicate and its
    // creation are not split by another thread's add.
    std::mutex m_mutex;
};
