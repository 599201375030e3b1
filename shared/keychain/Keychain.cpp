#include "shared/keychain/Keychain.h"

#include "platform/SecureItemStore.h"
#include "shared/coding/RawValue.h"
#include "shared/log/Log.h"
#include "shared/settings/Constants.h"

#include <QStringDecoder>

#include <array>
#include <atomic>

using namespace Qt::StringLiterals;

namespace Keychain {

namespace {

constexpr std::array<QLatin1StringView, 2> keyStrings{"subscription_token"_L1,
                                                      "subscription_url"_L1};

std::atomic<SecureItemStore*> injectedStore{nullptr};

SecureItemStore& currentStore() {
    if (SecureItemStore* injected = injectedStore.load())
        return *injected;
    static const std::unique_ptr<SecureItemStore> system = createSystemSecureItemStore();
    return *system;
}

SecureItemQuery baseQuery(Key key) {
    return {SecureItemQuery::genericPassword, u"vpn-client"_s, rawValue(key),
            Constants::keychainAccessGroup};
}

std::optional<QString> decodeUtf8(const QByteArray& bytes) {
    // Stateless, so a sequence cut off at the end is an error rather than
    // held for more input; a leading byte-order mark is text like any other.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QString rawValue(Key key) {
    return keyStrings[size_t(key)];
}

std::optional<Key> keyFromRawValue(QStringView raw) {
    return fromRawValue<Key>(keyStrings, raw);
}

std::optional<QString> read(Key key) {
    QByteArray data;
    const int status = currentStore().copyMatching(baseQuery(key), &data);
    if (status == SecureItemStore::itemNotFound)
        return std::nullopt;
    if (status != SecureItemStore::success) {
        qCCritical(Log::keychain, "SecItemCopyMatching(%s) → %d", qUtf8Printable(rawValue(key)),
                   status);
        return std::nullopt;
    }
    return decodeUtf8(data);
}

bool write(Key key, const QString& value) {
    const SecureItemQuery query = baseQuery(key);
    const QByteArray data = value.toUtf8();
    int status = currentStore().update(query, data);
    // Only a missing item is added: after any other failure the item may well
    // exist, and adding would either fail or leave two.
    if (status == SecureItemStore::itemNotFound)
        status = currentStore().add(query, data);
    if (status == SecureItemStore::success)
        return true;
    qCCritical(Log::keychain, "SecItem write(%s) → %d", qUtf8Printable(rawValue(key)), status);
    return false;
}

void deleteItem(Key key) {
    const int status = currentStore().remove(baseQuery(key));
    if (status != SecureItemStore::success && status != SecureItemStore::itemNotFound)
        qCCritical(Log::keychain, "SecItemDelete(%s) → %d", qUtf8Printable(rawValue(key)), status);
}

SecureItemStore* useItemStore(SecureItemStore* store) {
    return injectedStore.exchange(store);
}

} // namespace Keychain
