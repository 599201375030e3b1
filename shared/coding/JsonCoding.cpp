#include "shared/coding/JsonCoding.h"

#include "shared/coding/DateCoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <simdjson.h>
#include <string>
#include <type_traits>
#include <unordered_map>

using namespace Qt::StringLiterals;

DecodingError::DecodingError(Kind kind, QString codingPath, QString debugDescription)
    : m_kind(kind)
    , m_codingPath(std::move(codingPath))
    , m_debugDescription(std::move(debugDescription))
    , m_what(description().toUtf8()) {}

QString DecodingError::description() const {
    return m_codingPath.isEmpty() ? m_debugDescription
                                  : m_debugDescription + u" at " + m_codingPath;
}

EncodingError::EncodingError(QString description)
    : m_description(std::move(description))
    , m_what(m_description.toUtf8()) {}

namespace {

// Upper-cases the first character of `word` (a whole code point, by the
// locale-independent Unicode mapping) and lower-cases the rest.
QString capitalized(QStringView word) {
    const qsizetype first = word.size() > 1 && word[0].isHighSurrogate() ? 2 : 1;
    return word.first(first).toString().toUpper() + word.sliced(first).toString().toLower();
}

} // namespace

QString convertFromSnakeCase(const QString& key) {
    qsizetype begin = 0, end = key.size();
    while (begin < end && key[begin] == u'_')
        ++begin;
    while (end > begin && key[end - 1] == u'_')
        --end;
    const QStringView core = QStringView(key).sliced(begin, end - begin);
    const QList<QStringView> pieces = core.split(u'_', Qt::SkipEmptyParts);
    if (pieces.size() <= 1)
        return key;
    QString result = key.first(begin) + pieces.first().toString().toLower();
    for (qsizetype i = 1; i < pieces.size(); ++i)
        result += capitalized(pieces[i]);
    return result + key.sliced(end);
}

QString convertToSnakeCase(const QString& key) {
    QString result;
    result.reserve(key.size() + 4);
    for (qsizetype i = 0; i < key.size(); ++i) {
        if (i > 0 && key[i].isUpper() && key[i - 1].isLower())
            result += u'_';
        result += key[i];
    }
    return result.toLower();
}

// --- the parser behind JsonNode

namespace dom = simdjson::dom;

// Moves the parser's handles in and out of the bytes JsonNode keeps for them.
struct JsonAccess {
    using Handle = JsonNode::Handle;
    static_assert(sizeof(dom::element) <= sizeof(Handle) && alignof(dom::element) <= 8 &&
                  std::is_trivially_copyable_v<dom::element>);
    static_assert(sizeof(dom::array::iterator) <= sizeof(Handle) &&
                  alignof(dom::array::iterator) <= 8 &&
                  std::is_trivially_copyable_v<dom::array::iterator>);

    template <typename T> static Handle store(const T& value) {
        Handle handle{};
        std::memcpy(handle.bytes, &value, sizeof value);
        return handle;
    }
    template <typename T> static T load(const Handle& handle) {
        T value;
        std::memcpy(&value, handle.bytes, sizeof value);
        return value;
    }
    static bool isNothing(const Handle& handle) {
        return std::all_of(std::begin(handle.bytes), std::end(handle.bytes),
                           [](unsigned char b) { return b == 0; });
    }
    static JsonNode::Type typeOf(const Handle& handle) {
        if (isNothing(handle))
            return JsonNode::Type::nothing;
        switch (load<dom::element>(handle).type()) {
        case dom::element_type::NULL_VALUE:
            return JsonNode::Type::null;
        case dom::element_type::BOOL:
            return JsonNode::Type::boolean;
        case dom::element_type::INT64:
        case dom::element_type::UINT64:
        case dom::element_type::DOUBLE:
            return JsonNode::Type::number;
        case dom::element_type::STRING:
            return JsonNode::Type::text;
        case dom::element_type::ARRAY:
            return JsonNode::Type::list;
        case dom::element_type::OBJECT:
            break;
        }
        return JsonNode::Type::object;
    }
};

namespace {

const char* typeName(JsonNode::Type type) {
    switch (type) {
    case JsonNode::Type::nothing:
        break;
    case JsonNode::Type::null:
        return "null";
    case JsonNode::Type::boolean:
        return "a boolean";
    case JsonNode::Type::number:
        return "a number";
    case JsonNode::Type::text:
        return "text";
    case JsonNode::Type::list:
        return "a list";
    case JsonNode::Type::object:
        return "an object";
    }
    return "nothing";
}

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Keys mostly differ in length or first byte; this spares those a call to memcmp.
bool sameKey(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           (a.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0));
}

// The snake_case spelling of a field, when it converts back to the field
// ("subscriptionURL" has none). Worked out once per field and thread, as
// every object of a long list asks again.
const std::optional<std::string>& usualSpelling(QLatin1StringView key) {
    struct Hash : std::hash<std::string_view> {
        using is_transparent = void;
    };
    thread_local std::unordered_map<std::string, std::optional<std::string>, Hash, std::equal_to<>>
        known;
    const std::string_view field(key.data(), size_t(key.size()));
    if (const auto it = known.find(field); it != known.end())
        return it->second;
    const QString usual = convertToSnakeCase(QString(key));
    std::optional<std::string> spelling;
    if (convertFromSnakeCase(usual) == key)
        spelling = usual.toStdString();
    return known.emplace(std::string(field), std::move(spelling)).first->second;
}

// The member of `object` that the field `key` reads. Of members that share a
// key, the last counts, as it did with Qt's reader.
std::optional<dom::element> lookUp(dom::object object, QLatin1StringView key,
                                   JsonDecoder::KeyDecodingStrategy keys) {
    const std::string_view field(key.data(), size_t(key.size()));
    // Converting a key with underscores upper-cases a letter or joins a digit,
    // so a field of lower-case letters only ever matches its own spelling.
    const bool convert =
        keys == JsonDecoder::KeyDecodingStrategy::convertFromSnakeCase &&
        !std::all_of(key.begin(), key.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    // After the exact key, the service's usual spelling ("server_port"), then
    // any other key that converts to the field ("SERVER_PORT", "server__port").
    const std::optional<std::string>* usual = convert ? &usualSpelling(key) : nullptr;
    std::optional<dom::element> exact, usualMatch;
    for (const dom::key_value_pair pair : object) {
        if (sameKey(pair.key, field))
            exact = pair.value;
        else if (usual && *usual && sameKey(pair.key, **usual))
            usualMatch = pair.value;
    }
    if (exact || !convert)
        return exact;
    if (usualMatch)
        return usualMatch;
    // Of several such keys the least in UTF-16 order wins, the order in which
    // Qt's reader kept an object's keys and so the one this lookup always had.
    std::optional<QString> bestKey;
    std::optional<dom::element> best;
    for (const dom::key_value_pair pair : object) {
        if (pair.key.find('_') == std::string_view::npos)
            continue;
        QString jsonKey = fromUtf8(pair.key);
        if (convertFromSnakeCase(jsonKey) != key || (bestKey && jsonKey > *bestKey))
            continue;
        bestKey = std::move(jsonKey);
        best = pair.value;
    }
    return best;
}

// A short reason for a refused document, in the words of the rest of the library.
QString reasonFor(simdjson::error_code error) {
    switch (error) {
    case simdjson::EMPTY:
        return u"there is no value"_s;
    case simdjson::UTF8_ERROR:
        return u"invalid UTF-8"_s;
    case simdjson::STRING_ERROR:
        return u"malformed escape in text"_s;
    case simdjson::UNESCAPED_CHARS:
        return u"unescaped control character in text"_s;
    case simdjson::UNCLOSED_STRING:
        return u"unterminated text"_s;
    case simdjson::NUMBER_ERROR:
        return u"malformed number, or one out of range"_s;
    case simdjson::DEPTH_ERROR:
        return u"nested too deeply"_s;
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR:
        return u"misspelt true, false or null"_s;
    case simdjson::TAPE_ERROR:
        return u"malformed structure"_s;
    default:
        return QString::fromUtf8(simdjson::error_message(error));
    }
}

[[noreturn]] void refuse(const QString& reason) {
    throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                        u"the data is not valid JSON: "_s + reason);
}

} // namespace

// --- JsonNode

JsonNode::JsonNode(const JsonDecoder& decoder, Handle value)
    : m_decoder(&decoder)
    , m_parent(nullptr)
    , m_value(value)
    , m_index(-1) {}

JsonNode::JsonNode(const JsonNode* parent, Handle value, QLatin1StringView key, qsizetype index)
    : m_decoder(parent->m_decoder)
    , m_parent(parent)
    , m_value(value)
    , m_key(key)
    , m_index(index) {}

QString JsonNode::codingPath() const {
    if (!m_parent)
        return {};
    const QString above = m_parent->codingPath();
    if (m_index >= 0)
        return above + u'[' + QString::number(m_index) + u']';
    return above.isEmpty() ? QString(m_key) : above + u'.' + m_key;
}

void JsonNode::fail(DecodingError::Kind kind, const QString& debugDescription) const {
    throw DecodingError(kind, codingPath(), debugDescription);
}

void JsonNode::expect(bool matches, const char* expected) const {
    if (matches)
        return;
    const Type found = type();
    const bool isNull = found == Type::null || found == Type::nothing;
    fail(isNull ? DecodingError::Kind::valueNotFound : DecodingError::Kind::typeMismatch,
         u"expected "_s + QLatin1StringView(expected) + u", found " +
             QLatin1StringView(typeName(found)));
}

JsonNode::Type JsonNode::type() const {
    return JsonAccess::typeOf(m_value);
}

JsonNode JsonNode::required(QLatin1StringView key) const {
    expect(type() == Type::object, "an object");
    const auto object = JsonAccess::load<dom::element>(m_value).get_object().value_unsafe();
    const std::optional<dom::element> found = lookUp(object, key, m_decoder->keyDecodingStrategy());
    if (!found)
        fail(DecodingError::Kind::keyNotFound, u"missing key \""_s + key + u'"');
    return JsonNode(this, JsonAccess::store(*found), key, -1);
}

std::optional<JsonNode> JsonNode::optional(QLatin1StringView key) const {
    expect(type() == Type::object, "an object");
    const auto object = JsonAccess::load<dom::element>(m_value).get_object().value_unsafe();
    const std::optional<dom::element> found = lookUp(object, key, m_decoder->keyDecodingStrategy());
    if (!found || found->is_null())
        return std::nullopt;
    return JsonNode(this, JsonAccess::store(*found), key, -1);
}

QString JsonNode::toText() const {
    expect(type() == Type::text, "text");
    return fromUtf8(JsonAccess::load<dom::element>(m_value).get_string().value_unsafe());
}

qint64 JsonNode::toInt64() const {
    expect(type() == Type::number, "an integer");
    const dom::element number = JsonAccess::load<dom::element>(m_value);
    double value;
    switch (number.type()) {
    case dom::element_type::INT64:
        return number.get_int64().value_unsafe();
    case dom::element_type::UINT64: // past the signed range
        value = double(number.get_uint64().value_unsafe());
        break;
    default:
        // "443.0" and "4.43e2" are the integer 443; a fraction or a number
        // past 64 bits has no integer form.
        value = number.get_double().value_unsafe();
        if (value >= -0x1p63 && value < 0x1p63 && std::trunc(value) == value)
            return qint64(value);
        break;
    }
    fail(DecodingError::Kind::dataCorrupted,
         u"number "_s + QString::number(value) + u" is not a 64-bit integer");
}

QDateTime JsonNode::toDate() const {
    const QString text = toText();
    std::optional<QDateTime> date = DateCoding::parseAny(text);
    if (!date)
        fail(DecodingError::Kind::dataCorrupted, u"unparsable date "_s + text);
    return *date;
}

qsizetype JsonNode::listSize() const {
    expect(type() == Type::list, "a list");
    const auto list = JsonAccess::load<dom::element>(m_value).get_array().value_unsafe();
    // The parser counts up to 0xFFFFFF elements; a longer list is counted here.
    size_t size = list.size();
    if (size >= 0xFFFFFF) {
        size = 0;
        for (auto it = list.begin(); it != list.end(); ++it)
            ++size;
    }
    return qsizetype(size);
}

JsonNode JsonNode::element(qsizetype index) const {
    expect(type() == Type::list, "a list");
    const auto list = JsonAccess::load<dom::element>(m_value).get_array().value_unsafe();
    // Stepping on from the last element asked for keeps an in-order walk linear.
    auto it = JsonAccess::load<dom::array::iterator>(m_cursor);
    if (m_cursorIndex < 0 || index < m_cursorIndex) {
        it = list.begin();
        m_cursorIndex = 0;
    }
    const auto end = list.end();
    while (m_cursorIndex < index && it != end) {
        ++it;
        ++m_cursorIndex;
    }
    m_cursor = JsonAccess::store(it);
    if (index < 0 || it == end)
        return JsonNode(this, Handle{}, {}, index);
    return JsonNode(this, JsonAccess::store(*it), {}, index);
}

namespace {

QJsonValue toQt(dom::element value) {
    switch (value.type()) {
    case dom::element_type::NULL_VALUE:
        return QJsonValue::Null;
    case dom::element_type::BOOL:
        return value.get_bool().value_unsafe();
    case dom::element_type::INT64:
        return qint64(value.get_int64().value_unsafe());
    case dom::element_type::UINT64:
    case dom::element_type::DOUBLE:
        return value.get_double().value_unsafe();
    case dom::element_type::STRING:
        return fromUtf8(value.get_string().value_unsafe());
    case dom::element_type::ARRAY: {
        const dom::array elements = value.get_array().value_unsafe();
        QJsonArray list;
        for (const dom::element element : elements)
            list.append(toQt(element));
        return list;
    }
    case dom::element_type::OBJECT:
        break;
    }
    const dom::object members = value.get_object().value_unsafe();
    QJsonObject object;
    for (const dom::key_value_pair pair : members)
        object.insert(fromUtf8(pair.key), toQt(pair.value));
    return object;
}

} // namespace

QJsonValue JsonNode::toJsonValue() const {
    if (type() == Type::nothing)
        return QJsonValue::Undefined;
    return toQt(JsonAccess::load<dom::element>(m_value));
}

// --- JsonDocument

namespace {

// simdjson's parser is not thread-safe, and setting up its buffers afresh for
// a 1 MiB document costs more than parsing it, so each thread keeps one parser
// (and its buffers, sized for the largest document the thread has read) and
// reuses it. A decode that starts while the thread's parser is taken (one
// record decoding another) uses a parser of its own.
class ParserLease {
public:
    ParserLease() {
        if (!t_taken) {
            t_taken = true;
            m_parser = &t_parser;
        } else {
            m_own = std::make_unique<dom::parser>();
            m_parser = m_own.get();
        }
    }
    ~ParserLease() {
        if (!m_own)
            t_taken = false;
    }
    ParserLease(const ParserLease&) = delete;
    ParserLease& operator=(const ParserLease&) = delete;

    dom::parser& parser() { return *m_parser; }

private:
    static thread_local dom::parser t_parser;
    static thread_local bool t_taken;
    std::unique_ptr<dom::parser> m_own;
    dom::parser* m_parser;
};

thread_local dom::parser ParserLease::t_parser;
thread_local bool ParserLease::t_taken = false;

} // namespace

struct JsonDocument::Parsed {
    explicit Parsed(const QByteArray& json) {
        std::string_view text(json.constData(), size_t(json.size()));
        // RFC 8259 lets a reader ignore a byte order mark, and Qt's reader did.
        if (text.starts_with("\xEF\xBB\xBF"))
            text.remove_prefix(3);
        dom::element top;
        if (const simdjson::error_code error =
                lease.parser().parse(text.data(), text.size()).get(top))
            refuse(reasonFor(error));
        root = JsonAccess::store(top);
        const JsonNode::Type type = JsonAccess::typeOf(root);
        if (type != JsonNode::Type::object && type != JsonNode::Type::list)
            refuse(u"the top level is "_s + QLatin1StringView(typeName(type)) +
                   u", not an object or a list");
    }

    ParserLease lease;
    JsonNode::Handle root{};
};

JsonDocument::JsonDocument(const JsonDecoder& decoder, const QByteArray& json)
    : m_parsed(std::make_unique<Parsed>(json))
    , m_root(decoder, m_parsed->root) {}

JsonDocument::~JsonDocument() = default;

// --- JsonDecoder

const JsonDecoder& JsonDecoder::iso8601Fractional() {
    static const JsonDecoder shared;
    return shared;
}

// --- JsonEncoder

JsonEncoder::JsonEncoder(KeyEncodingStrategy keys)
    : m_keys(keys) {}

const JsonEncoder& JsonEncoder::iso8601Fractional() {
    static const JsonEncoder shared;
    return shared;
}

QString JsonEncoder::key(QLatin1StringView fieldName) const {
    return m_keys == KeyEncodingStrategy::convertToSnakeCase
               ? convertToSnakeCase(QString(fieldName))
               : QString(fieldName);
}

QJsonValue JsonEncoder::date(const QDateTime& date) const {
    std::optional<QString> text = DateCoding::formatFractional(date);
    if (!text)
        throw EncodingError(u"date "_s + date.toString(Qt::ISODateWithMs) +
                            u" has no ISO 8601 form with a four-digit year");
    return *text;
}

QByteArray JsonEncoder::compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
