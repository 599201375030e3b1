#pragma once

#include "platform/Updater.h"

#include <QByteArray>
#include <QList>

#include <optional>

// The update feed: an RSS 2.0 channel whose items carry Sparkle's version
// elements, the format update feeds of desktop apps commonly use.
namespace Appcast {

// Feeds past these bounds are refused as hostile.
inline constexpr qint64 maxBytes = 1024 * 1024;
inline constexpr int maxDepth = 16;
inline constexpr int maxItems = 1000;

// The items of a feed, in the feed's order; an item without a usable version
// is left out. Absent when `feed` is not well-formed XML, is not an RSS
// channel, declares a DTD, or exceeds the bounds above.
std::optional<QList<AppcastItem>> parse(const QByteArray& feed);

// Compares two versions made of up to four dot-separated numbers ("58",
// "1.4.10"); missing parts count as 0. Absent when either is not such a version.
std::optional<int> compareVersions(const QString& a, const QString& b);

// The newest item newer than `runningVersion`, if any.
std::optional<AppcastItem> newestUpdate(const QList<AppcastItem>& items,
                                        const QString& runningVersion);

} // namespace Appcast
