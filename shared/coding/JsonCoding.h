#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <atomic>
#include <exception>
#include <optional>

// Hand-written JSON coding of the library's records. A decode walks the
// document through JsonNode, which knows the coding path that led to it, so a
// failure can say where it happened ("outbounds[3].serverPort").

// Why a JSON document could not be decoded into a record.
class DecodingError : public std::exception {
public:
    enum class Kind { dataCorrupted, keyNotFound, valueNotFound, typeMismatch };

    DecodingError(Kind kind, QString codingPath, QString debugDescription);

    Kind kind() const { return m_kind; }
    // Field names and list indices from the top, e.g. "edges[0].tag"; empty at the top.
    const QString& codingPath() const { return m_codingPath; }
    const QString& debugDescription() const { return m_debugDescription; }
    // The whole story in one line: the debug description, then where.
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

private:
    Kind m_kind;
    QString m_codingPath;
    QString m_debugDescription;
    QByteArray m_what;
};

// A record could not be written, e.g. a date outside the years 0000 to 9999.
class EncodingError : public std::exception {
public:
    explicit EncodingError(QString description);
    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};

// snake_case to camelCase as the service's keys are read: "subscription_url"
// becomes "subscriptionUrl"; leading and trailing underscores stay.
QString convertFromSnakeCase(const QString& key);
// camelCase to snake_case as request bodies are written: "deviceId" becomes "device_id".
QString convertToSnakeCase(const QString& key);

class JsonDecoder;

// One value inside a document being decoded. A node refers to its parent to
// describe its path, so it must not outlive the node it came from.
class JsonNode {
public:
    JsonNode(const JsonDecoder& decoder, QJsonValue value);

    // The member `key` (a field name; the decoder's key strategy maps it to the
    // JSON key). A missing key throws keyNotFound; a present null is returned
    // and fails only when read.
    JsonNode required(QLatin1StringView key) const;
    // The member `key`, absent when missing or null.
    std::optional<JsonNode> optional(QLatin1StringView key) const;

    QString toText() const;
    qint64 toInt64() const;
    QDateTime toDate() const;
    // Number of elements of a list; element `index` of it.
    qsizetype listSize() const;
    JsonNode element(qsizetype index) const;

    [[noreturn]] void fail(DecodingError::Kind kind, const QString& debugDescription) const;
    QString codingPath() const;

private:
    JsonNode(const JsonNode* parent, QJsonValue value, QLatin1StringView key, qsizetype index);
    QJsonObject object() const;
    QJsonValue lookUp(const QJsonObject& object, QLatin1StringView key) const;
    void expect(bool matches, const char* expected) const;

    const JsonDecoder* m_decoder;
    const JsonNode* m_parent;
    QJsonValue m_value;
    QLatin1StringView m_key; // set for an object member
    qsizetype m_index;       // set (>= 0) for a list element
};

// Decoding rules shared by every record: dates follow DateCoding::parseAny,
// and keys are matched as written or after snake_case conversion.
class JsonDecoder {
public:
    enum class KeyDecodingStrategy { useDefaultKeys, convertFromSnakeCase };

    explicit JsonDecoder(KeyDecodingStrategy keys = KeyDecodingStrategy::useDefaultKeys)
        : m_keys(keys) {}
    // The process-wide decoder for stored records and service answers.
    static JsonDecoder& iso8601Fractional();

    KeyDecodingStrategy keyDecodingStrategy() const {
        return m_keys.load(std::memory_order_acquire);
    }
    void setKeyDecodingStrategy(KeyDecodingStrategy strategy) {
        m_keys.store(strategy, std::memory_order_release);
    }

    // Parses `json` (an object or a list at the top) and hands its top node to
    // `T::decode`. Throws DecodingError.
    template <typename T> T decode(const QByteArray& json) const { return T::decode(parse(json)); }
    JsonNode parse(const QByteArray& json) const;

private:
    std::atomic<KeyDecodingStrategy> m_keys;
};

// Encoding rules: dates as DateCoding::formatFractional, keys as declared or
// converted to snake_case, compact output.
class JsonEncoder {
public:
    enum class KeyEncodingStrategy { useDefaultKeys, convertToSnakeCase };

    explicit JsonEncoder(KeyEncodingStrategy keys = KeyEncodingStrategy::useDefaultKeys);
    // The process-wide encoder for stored records.
    static const JsonEncoder& iso8601Fractional();

    QString key(QLatin1StringView fieldName) const;
    // Throws EncodingError for a date that has no textual form.
    QJsonValue date(const QDateTime& date) const;
    // `T::encode(*this)` as compact JSON text. Throws EncodingError.
    template <typename T> QByteArray encode(const T& value) const {
        return compact(value.encode(*this));
    }

private:
    static QByteArray compact(const QJsonObject& object);
    KeyEncodingStrategy m_keys;
};
