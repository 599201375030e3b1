#include "service/demo/DemoService.h"

#include "shared/async/Clock.h"
#include "shared/coding/DateCoding.h"
#include "shared/coding/JsonCoding.h"
#include "shared/log/Log.h"
#include "shared/settings/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(demoLog, "dev.morvel.vpn.demo", QtInfoMsg)

namespace {

// The five probed services' rule-sets, and one never shown or probed.
const QStringList rulesetTags{u"messengers"_s, u"youtube"_s, u"aiplatforms"_s,
                              u"streaming"_s,  u"code"_s,    u"ipcheck"_s};

struct Edge {
    const char* tag;
    const char* uuid;
};
constexpr Edge edges[] = {
    // The region shown is the tag's last piece: a country here.
    {"edge-nl", "6f1d3c2a-8b4e-4d7a-9c1f-2e5b7a9d0c11"},
    {"edge-de", "a3b7e9d1-4c2f-4e8a-b6d0-9f1c3e5a7b22"},
    {"edge-fi", "d8c6a4e2-1b3f-4a5c-8e7d-6b9f0a2c4e33"},
};

const QRegularExpression& plainName() {
    static const QRegularExpression pattern(u"^[A-Za-z0-9_-]{1,128}$"_s);
    return pattern;
}

HttpResponse json(int status, const QJsonObject& body) {
    return {status,
            {{"Content-Type", "application/json"}},
            QJsonDocument(body).toJson(QJsonDocument::Compact)};
}

HttpResponse detail(int status, const QString& text) {
    return json(status, {{"detail"_L1, text}});
}

// A validation failure as such services word it: a list of objects with "msg".
HttpResponse invalid(const QString& message) {
    return json(422, {{"detail"_L1, QJsonArray{QJsonObject{{"msg"_L1, message}}}}});
}

QString newToken() {
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                          bytes.size() / 4);
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// One release newer than any build, so the demo shows the update banner.
QByteArray updateFeed() {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Halvoran (demo)</title>
    <item>
      <title>Halvoran 99.0</title>
      <link>https://morvel.dev/halvoran/</link>
      <sparkle:version>99.0</sparkle:version>
      <sparkle:shortVersionString>99.0</sparkle:shortVersionString>
    </item>
  </channel>
</rss>
)";
}

QString dateText(const QDateTime& date) {
    return DateCoding::formatFractional(date).value_or(QString());
}

} // namespace

DemoService::DemoService(QUrl origin, std::shared_ptr<Clock> clock, QString stateFile)
    : m_origin(std::move(origin))
    , m_clock(std::move(clock))
    , m_stateFile(std::move(stateFile)) {
    loadState();
}

// {"<token>": {"expires_at": "<date>", "withdrawn": false}, ...}; a file that
// cannot be read starts the demo with no subscription.
void DemoService::loadState() {
    if (m_stateFile.isEmpty())
        return;
    QFile file(m_stateFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    try {
        const JsonDecoder decoder;
        const JsonDocument document(decoder, file.read(4 << 20));
        const QJsonObject root = document.root().toJsonValue().toObject();
        for (auto it = root.begin(); it != root.end(); ++it) {
            const QJsonObject entry = it.value().toObject();
            if (const std::optional<QDateTime> expiresAt =
                    DateCoding::parseAny(entry.value("expires_at"_L1).toString()))
                m_subscriptions.insert(it.key(),
                                       {*expiresAt, entry.value("withdrawn"_L1).toBool()});
        }
    } catch (const DecodingError& error) {
        qCCritical(demoLog, "state file %s unreadable: %s", qUtf8Printable(m_stateFile),
                   Log::printable(error.description()).constData());
        m_subscriptions.clear();
    }
}

void DemoService::saveState() const {
    if (m_stateFile.isEmpty())
        return;
    QJsonObject root;
    for (auto it = m_subscriptions.cbegin(); it != m_subscriptions.cend(); ++it)
        root.insert(it.key(), QJsonObject{{"expires_at"_L1, dateText(it->expiresAt)},
                                          {"withdrawn"_L1, it->withdrawn}});
    QDir().mkpath(QFileInfo(m_stateFile).absolutePath());
    QString error;
    if (!AtomicFile::write(m_stateFile, QJsonDocument(root).toJson(QJsonDocument::Compact), &error))
        qCCritical(demoLog, "cannot keep the subscriptions in %s: %s", qUtf8Printable(m_stateFile),
                   qUtf8Printable(error));
}

HttpResponse DemoService::handle(const HttpRequest& request) {
    const HttpResponse response = route(request);
    // Subscription tokens are secrets even here: the log names no token.
    static const QRegularExpression token(u"^/(api/sub|demo/withdraw)/.*$"_s);
    const QString shown =
        QString::fromLatin1(request.path.left(200)).replace(token, u"/\\1/<token>"_s);
    qCInfo(demoLog, "%s %s %d",
           Log::printable(QString::fromLatin1(request.method.left(16))).constData(),
           Log::printable(shown).constData(), response.status);
    return response;
}

HttpResponse DemoService::route(const HttpRequest& request) {
    const QString path = QString::fromLatin1(request.path);
    const QStringList segments = path.split(u'/');
    const auto only = [&](const char* method) -> std::optional<HttpResponse> {
        if (request.method == method)
            return std::nullopt;
        return HttpResponse{405, {{"Allow", method}}, {}};
    };
    if (path == u"/api/activate") {
        if (auto refused = only("POST"))
            return *refused;
        return activate(request);
    }
    // /api/sub/<token>, /demo/withdraw/<token>, /rulesets/<tag>.srs
    if (segments.size() == 4 && segments[1] == u"api" && segments[2] == u"sub") {
        if (auto refused = only("GET"))
            return *refused;
        return subscription(segments[3]);
    }
    if (segments.size() == 4 && segments[1] == u"demo" && segments[2] == u"withdraw") {
        if (auto refused = only("POST"))
            return *refused;
        return withdraw(request, segments[3]);
    }
    // What the demo build probes and reads instead of the outside world.
    if (segments.size() == 3 && segments[1] == u"probe" && rulesetTags.contains(segments[2])) {
        if (request.method != "HEAD" && request.method != "GET")
            return {405, {{"Allow", "GET, HEAD"}}, {}};
        return {204, {}, {}};
    }
    if (path == u"/appcast.xml") {
        if (auto refused = only("GET"))
            return *refused;
        return {200, {{"Content-Type", "application/rss+xml"}}, updateFeed()};
    }
    if (segments.size() == 3 && segments[1] == u"rulesets" && segments[2].endsWith(u".srs")) {
        if (auto refused = only("GET"))
            return *refused;
        if (const std::optional<QByteArray> file = ruleset(segments[2].chopped(4)))
            return {200, {{"Content-Type", "application/octet-stream"}}, *file};
    }
    return detail(404, u"not found"_s);
}

HttpResponse DemoService::activate(const HttpRequest& request) {
    QString code;
    QString deviceId;
    try {
        const JsonDecoder decoder;
        const JsonDocument document(decoder, request.body);
        code = document.root().required("code"_L1).toText();
        deviceId = document.root().required("device_id"_L1).toText();
    } catch (const DecodingError& error) {
        return invalid(error.description());
    }
    if (deviceId.isEmpty())
        return invalid(u"device_id must not be empty"_s);
    if (code != QLatin1StringView(activationCode))
        return detail(401, u"invalid activation code"_s);
    const QString token = newToken();
    const QDateTime expiresAt = m_clock->now().addDays(subscriptionDays);
    m_subscriptions.insert(token, {expiresAt, false});
    saveState();
    return json(200, {{"subscription_url"_L1, QString(u"/api/sub/"_s + token)},
                      {"expires_at"_L1, dateText(expiresAt)}});
}

HttpResponse DemoService::subscription(const QString& token) const {
    const auto it = m_subscriptions.find(token);
    if (it == m_subscriptions.end() || it->withdrawn || it->expiresAt <= m_clock->now())
        return detail(410, u"subscription expired"_s);
    return {200,
            {{"Content-Type", "application/json"},
             {"X-Subscription-Expires-At", dateText(it->expiresAt).toLatin1()}},
            configuration()};
}

HttpResponse DemoService::withdraw(const HttpRequest& request, const QString& token) {
    // For trying out what the app does when the service withdraws a
    // subscription; only from this machine.
    if (!request.peer.isLoopback())
        return detail(403, u"only from this machine"_s);
    const auto it = m_subscriptions.find(token);
    if (it == m_subscriptions.end())
        return detail(404, u"no such subscription"_s);
    it->withdrawn = true;
    saveState();
    return {204, {}, {}};
}

std::optional<QByteArray> DemoService::ruleset(const QString& tag) {
    if (!plainName().match(tag).hasMatch() || !rulesetTags.contains(tag))
        return std::nullopt;
    // Stand-ins for compiled rule-sets: the app only stores them, and the
    // stand-in engine only needs them to exist.
    return "SRS demo rule-set " + tag.toLatin1() + '\n';
}

QByteArray DemoService::configuration() const {
    QJsonArray outbounds{QJsonObject{{"type"_L1, "selector"_L1},
                                     {"tag"_L1, "proxy"_L1},
                                     {"outbounds"_L1, QJsonArray{}},
                                     {"default"_L1, QLatin1StringView(edges[0].tag)}}};
    QJsonArray members;
    // Loopback addresses, not names: nothing of the demo looks up a host
    // outside this machine, even with the real engine running.
    int edgeNumber = 0;
    for (const Edge& edge : edges) {
        const QLatin1StringView tag(edge.tag);
        members.append(tag);
        outbounds.append(QJsonObject{
            {"type"_L1, "vless"_L1},
            {"tag"_L1, tag},
            {"server"_L1, u"127.0.1.%1"_s.arg(++edgeNumber)},
            {"server_port"_L1, 443},
            {"uuid"_L1, QLatin1StringView(edge.uuid)},
            {"flow"_L1, "xtls-rprx-vision"_L1},
            {"tls"_L1,
             QJsonObject{
                 {"enabled"_L1, true},
                 {"server_name"_L1, "www.example.com"_L1},
                 {"utls"_L1, QJsonObject{{"enabled"_L1, true}, {"fingerprint"_L1, "chrome"_L1}}},
                 {"reality"_L1, QJsonObject{{"enabled"_L1, true},
                                            {"public_key"_L1, "demo-public-key"_L1},
                                            {"short_id"_L1, "0123abcd"_L1}}}}},
        });
    }
    QJsonObject selector = outbounds[0].toObject();
    selector.insert("outbounds"_L1, members);
    outbounds[0] = selector;
    outbounds.append(QJsonObject{{"type"_L1, "direct"_L1}, {"tag"_L1, "direct"_L1}});

    QJsonArray sets;
    QJsonArray proxied;
    for (const QString& tag : rulesetTags) {
        QUrl url = m_origin;
        url.setPath(u"/rulesets/"_s + tag + u".srs");
        sets.append(QJsonObject{{"type"_L1, "remote"_L1},
                                {"tag"_L1, tag},
                                {"format"_L1, "binary"_L1},
                                {"url"_L1, url.toString()},
                                {"download_detour"_L1, "direct"_L1}});
        proxied.append(tag);
    }
    const QJsonObject config{
        {"log"_L1, QJsonObject{{"level"_L1, "warn"_L1}}},
        {"dns"_L1,
         QJsonObject{{"servers"_L1, QJsonArray{QJsonObject{{"tag"_L1, "remote"_L1},
                                                           {"address"_L1, "tls://1.1.1.1"_L1},
                                                           {"detour"_L1, "proxy"_L1}},
                                               QJsonObject{{"tag"_L1, "local"_L1},
                                                           {"address"_L1, "local"_L1},
                                                           {"detour"_L1, "direct"_L1}}}},
                     {"rules"_L1, QJsonArray{QJsonObject{{"rule_set"_L1, proxied},
                                                         {"server"_L1, "remote"_L1}}}},
                     {"final"_L1, "local"_L1}}},
        {"outbounds"_L1, outbounds},
        {"route"_L1, QJsonObject{{"rule_set"_L1, sets},
                                 {"rules"_L1, QJsonArray{QJsonObject{{"rule_set"_L1, proxied},
                                                                     {"outbound"_L1, "proxy"_L1}}}},
                                 {"final"_L1, "direct"_L1},
                                 {"auto_detect_interface"_L1, true}}},
    };
    return QJsonDocument(config).toJson();
}
