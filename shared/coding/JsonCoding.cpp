#include "shared/coding/JsonCoding.h"

#include "shared/coding/DateCoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>

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

const char* typeName(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return "null";
    case QJsonValue::Bool:
        return "a boolean";
    case QJsonValue::Double:
        return "a number";
    case QJsonValue::String:
        return "text";
    case QJsonValue::Array:
        return "a list";
    case QJsonValue::Object:
        return "an object";
    case QJsonValue::Undefined:
        break;
    }
    return "nothing";
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

// --- JsonNode

JsonNode::JsonNode(const JsonDecoder& decoder, QJsonValue value)
    : m_decoder(&decoder)
    , m_parent(nullptr)
    , m_value(std::move(value))
    , m_index(-1) {}

JsonNode::JsonNode(const JsonNode* parent, QJsonValue value, QLatin1StringView key, qsizetype index)
    : m_decoder(parent->m_decoder)
    , m_parent(parent)
    , m_value(std::move(value))
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
    const bool isNull = m_value.isNull() || m_value.isUndefined();
    fail(isNull ? DecodingError::Kind::valueNotFound : DecodingError::Kind::typeMismatch,
         u"expected "_s + QLatin1StringView(expected) + u", found " +
             QLatin1StringView(typeName(m_value)));
}

QJsonObject JsonNode::object() const {
    expect(m_value.isObject(), "an object");
    return m_value.toObject();
}

QJsonValue JsonNode::lookUp(const QJsonObject& object, QLatin1StringView key) const {
    const auto exact = object.constFind(key);
    if (exact != object.constEnd())
        return *exact;
    if (m_decoder->keyDecodingStrategy() != JsonDecoder::KeyDecodingStrategy::convertFromSnakeCase)
        return QJsonValue(QJsonValue::Undefined);
    // Converting a key with underscores upper-cases a letter or joins a digit,
    // so a field of lower-case letters only ever matches its own spelling.
    if (std::all_of(key.begin(), key.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return QJsonValue(QJsonValue::Undefined);
    // The service's usual spelling ("server_port") first, then any other key
    // that converts to the field ("SERVER_PORT", "server__port").
    const QString usual = convertToSnakeCase(QString(key));
    if (const auto it = object.constFind(usual);
        it != object.constEnd() && convertFromSnakeCase(usual) == key)
        return *it;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString jsonKey = it.key();
        if (jsonKey.contains(u'_') && convertFromSnakeCase(jsonKey) == key)
            return *it;
    }
    return QJsonValue(QJsonValue::Undefined);
}

JsonNode JsonNode::required(QLatin1StringView key) const {
    QJsonValue member = lookUp(object(), key);
    if (member.isUndefined())
        fail(DecodingError::Kind::keyNotFound, u"missing key \""_s + key + u'"');
    return JsonNode(this, std::move(member), key, -1);
}

std::optional<JsonNode> JsonNode::optional(QLatin1StringView key) const {
    QJsonValue member = lookUp(object(), key);
    if (member.isUndefined() || member.isNull())
        return std::nullopt;
    return JsonNode(this, std::move(member), key, -1);
}

QString JsonNode::toText() const {
    expect(m_value.isString(), "text");
    return m_value.toString();
}

qint64 JsonNode::toInt64() const {
    expect(m_value.isDouble(), "an integer");
    // Qt keeps integers exactly; a fraction or a number past 64 bits has no
    // integer form, and the two fallbacks differ so either reveals it.
    const qint64 a = m_value.toInteger(0), b = m_value.toInteger(1);
    if (a != b)
        fail(DecodingError::Kind::dataCorrupted,
             u"number "_s + QString::number(m_value.toDouble()) + u" is not a 64-bit integer");
    return a;
}

QDateTime JsonNode::toDate() const {
    const QString text = toText();
    std::optional<QDateTime> date = DateCoding::parseAny(text);
    if (!date)
        fail(DecodingError::Kind::dataCorrupted, u"unparsable date "_s + text);
    return *date;
}

qsizetype JsonNode::listSize() const {
    expect(m_value.isArray(), "a list");
    return m_value.toArray().size();
}

JsonNode JsonNode::element(qsizetype index) const {
    expect(m_value.isArray(), "a list");
    return JsonNode(this, m_value.toArray().at(index), {}, index);
}

// --- JsonDecoder

JsonDecoder& JsonDecoder::iso8601Fractional() {
    static JsonDecoder shared;
    return shared;
}

JsonNode JsonDecoder::parse(const QByteArray& json) const {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull())
        throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                            u"the data is not valid JSON: "_s + error.errorString() +
                                u" at offset " + QString::number(error.offset));
    return JsonNode(*this, document.isObject() ? QJsonValue(document.object())
                                               : QJsonValue(document.array()));
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
