#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

// Rule-sets that exist for the tunnel's own use and are never listed to the
// user nor probed for reachability.
namespace HiddenRulesets {

const QSet<QString>& names();
// `names` without the hidden ones, in order, duplicates kept.
QStringList visible(const QStringList& names);

} // namespace HiddenRulesets
