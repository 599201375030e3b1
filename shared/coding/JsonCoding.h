#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <exception>
#include <memory>
#include <optional>

// Hand-written JSON coding of the library's records. A decode walks the
// document through JsonNode, which knows the coding path that led to it, so a
// failure can say where it happened ("outbounds[3].serverPort"). Documents are
// read by RFC 8259's rules alone (Qt's reader lets through "\x41", raw control
// characters in text and numbers like "443." or ".5"); writing uses Qt's classes.

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
struct JsonAccess;

// One value inside a document being decoded. A node refers to its parent to
// describe its path, so it must not outlive the node it came from, and it
// points into its JsonDocument, so it must not outlive that either.
class JsonNode {
public:
    // `nothing` is what an element past the end of a list holds.
    enum class Type { nothing, null, boolean, number, text, list, object };

    // The member `key` (an ASCII field name; the decoder's key strategy maps it
    // to the JSON key). A missing key throws keyNotFound; a present null is returned
    // and fails only when read. Of members that share a key, the last counts.
    JsonNode required(QLatin1StringView key) const;
    // The member `key`, absent when missing or null.
    std::optional<JsonNode> optional(QLatin1StringView key) const;

    Type type() const;
    QString toText() const;
    // An integral number in the 64-bit range, written "443", "443.0" or "4.43e2".
    qint64 toInt64() const;
    QDateTime toDate() const;
    // Number of elements of a list; element `index` of it. Walking a list in
    // order costs one step per element.
    qsizetype listSize() const;
    JsonNode element(qsizetype index) const;
    // The value and everything below it in Qt's JSON types, for code that walks
    // a whole document instead of decoding a record. Integers in the 64-bit
    // range stay exact; of members that share a key, the last counts.
    QJsonValue toJsonValue() const;

    [[noreturn]] void fail(DecodingError::Kind kind, const QString& debugDescription) const;
    QString codingPath() const;

private:
    friend struct JsonAccess;
    friend class JsonDocument;

    // A value of the parsed document as the parser hands it out, kept as bytes
    // so that this header need not include the parser's (all zero: nothing).
    struct Handle {
        alignas(8) unsigned char bytes[16];
    };

    JsonNode(const JsonDecoder& decoder, Handle value);
    JsonNode(const JsonNode* parent, Handle value, QLatin1StringView key, qsizetype index);
    void expect(bool matches, const char* expected) const;

    const JsonDecoder* m_decoder;
    const JsonNode* m_parent;
    Handle m_value;
    QLatin1StringView m_key; // set for an object member
    qsizetype m_index;       // set (>= 0) for a list element
    // Where the last element() call stopped in this list.
    mutable Handle m_cursor{};
    mutable qsizetype m_cursorIndex = -1;
};

// A document parsed by RFC 8259's rules, with an object or a list at the top
// (a UTF-8 byte order mark before it is skipped). It owns what its nodes point
// into, so it must outlive every node reached from root().
class JsonDocument {
public:
    // Throws DecodingError (dataCorrupted) for anything else.
    JsonDocument(const JsonDecoder& decoder, const QByteArray& json);
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    const JsonNode& root() const { return m_root; }

private:
    struct Parsed;
    std::unique_ptr<Parsed> m_parsed;
    JsonNode m_root;
};

// Decoding rules shared by every record: dates follow DateCoding::parseAny,
// and keys are matched as written or after snake_case conversion.
class JsonDecoder {
public:
    enum class KeyDecodingStrategy { useDefaultKeys, convertFromSnakeCase };

    explicit JsonDecoder(KeyDecodingStrategy keys = KeyDecodingStrategy::useDefaultKeys)
        : m_keys(keys) {}
    // The process-wide decoder of stored records: keys as declared. It never
    // changes; a reader of snake_case (the service client) has its own.
    static const JsonDecoder& iso8601Fractional();

    KeyDecodingStrategy keyDecodingStrategy() const { return m_keys; }

    // Parses `json` and hands its top node to `T::decode`, while the document
    // lives. Throws DecodingError.
    template <typename T> T decode(const QByteArray& json) const {
        const JsonDocument document(*this, json);
        return T::decode(document.root());
    }

private:
    KeyDecodingStrategy m_keys;
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
