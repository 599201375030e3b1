#include "service/provider/ConfigSchema.h"
#include "service/provider/EffectiveConfig.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::StringLiterals;

// The type checks of the allow-list, and the filter that applies it.
namespace EffectiveConfig {

namespace {

bool isWhole(const QJsonValue& value, double min, double max) {
    const double number = value.toDouble();
    return value.isDouble() && std::floor(number) == number && number >= min && number <= max;
}

bool isDuration(const QJsonValue& value) {
    static const QRegularExpression form(uR"(^(\d+(\.\d+)?(ns|us|µs|ms|s|m|h|d))+$)"_s);
    return value.isString() && form.match(value.toString()).hasMatch();
}

// `value` itself, or a list of which every element, is what `one` accepts.
template <typename Check> bool oneOrList(const QJsonValue& value, Check one) {
    if (one(value))
        return true;
    if (!value.isArray())
        return false;
    const QJsonArray list = value.toArray();
    return std::all_of(list.begin(), list.end(), [&](const QJsonValue& e) { return one(e); });
}

bool matches(const QJsonValue& value, Kind kind) {
    const auto text = [](const QJsonValue& v) { return v.isString(); };
    const auto port = [](const QJsonValue& v) { return isWhole(v, 1, 65535); };
    switch (kind) {
    case Kind::text:
        return value.isString();
    case Kind::integer:
        return isWhole(value, 0, 4294967295.0);
    case Kind::port:
        return port(value);
    case Kind::boolean:
        return value.isBool();
    case Kind::duration:
        return isDuration(value);
    case Kind::texts:
        return oneOrList(value, text);
    case Kind::ports:
        return oneOrList(value, port);
    case Kind::textMap: {
        const QJsonObject map = value.toObject();
        return value.isObject() && std::all_of(map.begin(), map.end(), [&](const QJsonValue& e) {
                   return oneOrList(e, text);
               });
    }
    case Kind::bytes:
        return value.isString() || (value.isArray() && oneOrList(value, [](const QJsonValue& v) {
                                        return isWhole(v, 0, 255);
                                    }));
    case Kind::names:
        return oneOrList(value,
                         [](const QJsonValue& v) { return v.isString() || isWhole(v, 0, 65535); });
    case Kind::flag:
    case Kind::object:
        return value.isObject();
    case Kind::objects:
        return false; // checked element by element
    }
    return false;
}

const char* requirement(Kind kind) {
    switch (kind) {
    case Kind::text:
        return "must be text";
    case Kind::integer:
        return "must be a whole number";
    case Kind::port:
        return "must be a port number (1-65535)";
    case Kind::boolean:
        return "must be true or false";
    case Kind::duration:
        return "must be a duration such as \"30s\"";
    case Kind::texts:
        return "must be text or a list of text";
    case Kind::ports:
        return "must be a port number (1-65535) or a list of them";
    case Kind::textMap:
        return "must be an object of text";
    case Kind::bytes:
        return "must be base64 text or a list of numbers 0-255";
    case Kind::names:
        return "must be text, a number or a list of them";
    case Kind::flag:
        return "must be true, false or an object";
    case Kind::object:
        return "must be an object";
    case Kind::objects:
        return "must be a list of objects";
    }
    return "has the wrong type";
}

const Field* findField(std::initializer_list<Fields> schemas, QStringView key) {
    for (const Fields schema : schemas) {
        for (const Field& field : schema) {
            if (field.key == key)
                return &field;
        }
    }
    return nullptr;
}

QJsonObject filter(const QJsonObject& in, std::initializer_list<Fields> schemas,
                   const QString& path, QStringList& leftOut, bool strict) {
    QJsonObject out;
    for (auto it = in.begin(); it != in.end(); ++it) {
        const Field* field = findField(schemas, it.key());
        const QString where = memberPath(path, it.key());
        if (!field) {
            leftOut.append(where);
            continue;
        }
        const bool needed = strict || field->need == Need::tunnel;
        const QJsonValue value = it.value();
        std::optional<QJsonValue> kept;
        if (field->kind == Kind::objects && value.isArray()) {
            QJsonArray list;
            const QJsonArray source = value.toArray();
            for (qsizetype i = 0; i < source.size() && list.size() == i; ++i) {
                if (source[i].isObject())
                    list.append(filter(source[i].toObject(), {field->nested}, elementPath(where, i),
                                       leftOut, needed));
            }
            if (list.size() == source.size())
                kept = list;
        } else if (field->kind == Kind::flag && value.isBool()) {
            kept = value;
        } else if (matches(value, field->kind)) {
            kept = field->nested.empty()
                       ? value
                       : filter(value.toObject(), {field->nested}, where, leftOut, needed);
        }
        if (kept) {
            out.insert(it.key(), *kept);
            continue;
        }
        const QString reason = where + u' ' + QLatin1StringView(requirement(field->kind));
        if (needed)
            throw BuildError("the downloaded configuration is not usable: " + reason.toStdString());
        leftOut.append(reason);
    }
    return out;
}

} // namespace

QJsonObject filtered(const QJsonObject& in, std::initializer_list<Fields> schemas,
                     const QString& path, QStringList& leftOut) {
    return filter(in, schemas, path, leftOut, false);
}

QString memberPath(const QString& parent, const QString& key) {
    return parent.isEmpty() ? key : parent + u'.' + key;
}
QString elementPath(const QString& parent, qsizetype index) {
    return parent + u'[' + QString::number(index) + u']';
}

std::optional<QStringList> textList(const QJsonValue& value) {
    if (value.isString())
        return QStringList{value.toString()};
    if (!value.isArray())
        return std::nullopt;
    QStringList list;
    for (const QJsonValue element : value.toArray()) {
        if (!element.isString())
            return std::nullopt;
        list.append(element.toString());
    }
    return list;
}

} // namespace EffectiveConfig
