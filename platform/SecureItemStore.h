#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

#include <memory>

// Which item an operation means. All four attributes must match.
struct SecureItemQuery {
    // The class of a password that belongs to no website: the value Apple's
    // kSecClassGenericPassword has, so items name their kind the same way on
    // every platform.
    static constexpr QLatin1StringView genericPassword{"genp"};

    QString itemClass;
    QString service;
    QString account;
    QString accessGroup;
};

// The desktop's store of secrets, holding one byte string per item. Every call
// is synchronous, may be made from any thread, never asks the user anything
// (the tunnel process that uses it has no one to ask) and answers a status
// numbered like the Apple keychain's.
class SecureItemStore {
public:
    static constexpr int success = 0;            // errSecSuccess
    static constexpr int authFailed = -25293;    // errSecAuthFailed: locked, or access refused
    static constexpr int notAvailable = -25291;  // errSecNotAvailable: no secret store to talk to
    static constexpr int duplicateItem = -25299; // errSecDuplicateItem
    static constexpr int itemNotFound = -25300;  // errSecItemNotFound
    static constexpr int noDefaultKeychain = -25307; // errSecNoDefaultKeychain: nowhere to add to
    static constexpr int internalError = -26276;     // errSecInternal: anything else

    virtual ~SecureItemStore() = default;

    // On success `data` holds the item's bytes.
    virtual int copyMatching(const SecureItemQuery& query, QByteArray* data) = 0;
    // Replaces the bytes of the matching item; itemNotFound when there is none.
    virtual int update(const SecureItemQuery& query, const QByteArray& data) = 0;
    // Creates the item; duplicateItem when one already matches.
    virtual int add(const SecureItemQuery& query, const QByteArray& data) = 0;
    // Deletes the matching item; itemNotFound when there is none.
    virtual int remove(const SecureItemQuery& query) = 0;
};

// The platform's store: the Secret Service of the user's D-Bus session.
std::unique_ptr<SecureItemStore> createSystemSecureItemStore();
