#include "platform/linux/Appcast.h"

#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

namespace Appcast {

namespace {

constexpr auto sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle"_L1;
// Longer display versions are not versions; they would also crowd the banner.
constexpr qsizetype maxDisplayLength = 40;

std::optional<QList<uint>> versionParts(const QString& version) {
    const QStringList parts = version.split(u'.');
    if (parts.size() > 4)
        return std::nullopt;
    QList<uint> numbers;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 9)
            return std::nullopt;
        for (const QChar c : part)
            if (c < u'0' || c > u'9')
                return std::nullopt;
        numbers.append(part.toUInt());
    }
    return numbers;
}

bool isPrintable(const QString& text) {
    for (const QChar c : text)
        if (!c.isPrint())
            return false;
    return true;
}

QUrl webPage(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    return url.isValid() && url.scheme() == u"https"_s && !url.host().isEmpty() ? url : QUrl();
}

struct Draft {
    QString version;
    QString shortVersion;
    QString link;
    QString enclosureURL;
};

std::optional<AppcastItem> finish(const Draft& draft) {
    const QString version = draft.version.trimmed();
    const QString display =
        draft.shortVersion.trimmed().isEmpty() ? version : draft.shortVersion.trimmed();
    if (!versionParts(version) || display.size() > maxDisplayLength || !isPrintable(display))
        return std::nullopt;
    QUrl page = webPage(draft.link);
    if (page.isEmpty())
        page = webPage(draft.enclosureURL);
    return AppcastItem{display, version, page};
}

} // namespace

std::optional<QList<AppcastItem>> parse(const QByteArray& feed) {
    if (feed.size() > maxBytes)
        return std::nullopt;
    QXmlStreamReader xml(feed);
    QList<AppcastItem> items;
    std::optional<Draft> draft;
    int depth = 0;
    int itemCount = 0;
    bool sawChannel = false;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            // No entities: nothing in a feed needs them, and they can expand.
            return std::nullopt;
        case QXmlStreamReader::StartElement: {
            if (++depth > maxDepth)
                return std::nullopt;
            const auto name = xml.name();
            const bool sparkle = xml.namespaceUri() == sparkleNamespace;
            if (depth == 1 && (name != u"rss"_s || !xml.namespaceUri().isEmpty()))
                return std::nullopt;
            if (depth == 2 && name == u"channel"_s)
                sawChannel = true;
            if (depth == 3 && name == u"item"_s && xml.namespaceUri().isEmpty()) {
                if (++itemCount > maxItems)
                    return std::nullopt;
                draft = Draft{};
            } else if (draft && depth == 4) {
                if (name == u"enclosure"_s && !sparkle) {
                    const auto attributes = xml.attributes();
                    draft->enclosureURL = attributes.value(u"url"_s).toString();
                    if (draft->version.isEmpty())
                        draft->version =
                            attributes.value(sparkleNamespace, u"version"_s).toString();
                    if (draft->shortVersion.isEmpty())
                        draft->shortVersion =
                            attributes.value(sparkleNamespace, u"shortVersionString"_s).toString();
                } else if (sparkle && name == u"version"_s) {
                    draft->version = xml.readElementText(QXmlStreamReader::SkipChildElements);
                    --depth;
                } else if (sparkle && name == u"shortVersionString"_s) {
                    draft->shortVersion = xml.readElementText(QXmlStreamReader::SkipChildElements);
                    --depth;
                } else if (!sparkle && name == u"link"_s) {
                    draft->link = xml.readElementText(QXmlStreamReader::SkipChildElements);
                    --depth;
                }
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (depth == 3 && draft && xml.name() == u"item"_s) {
                if (auto item = finish(*draft))
                    items.append(*item);
                draft.reset();
            }
            --depth;
            break;
        default:
            break;
        }
    }
    if (xml.hasError() || !sawChannel)
        return std::nullopt;
    return items;
}

std::optional<int> compareVersions(const QString& a, const QString& b) {
    const auto left = versionParts(a);
    const auto right = versionParts(b);
    if (!left || !right)
        return std::nullopt;
    for (qsizetype i = 0; i < 4; ++i) {
        const uint l = i < left->size() ? left->at(i) : 0;
        const uint r = i < right->size() ? right->at(i) : 0;
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

std::optional<AppcastItem> newestUpdate(const QList<AppcastItem>& items,
                                        const QString& runningVersion) {
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : items) {
        const auto againstRunning = compareVersions(item.versionString, runningVersion);
        if (!againstRunning || *againstRunning <= 0)
            continue;
        if (!newest || compareVersions(item.versionString, newest->versionString) > 0)
            newest = item;
    }
    return newest;
}

} // namespace Appcast
