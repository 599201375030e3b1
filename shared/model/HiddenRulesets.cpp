#include "shared/model/HiddenRulesets.h"

using namespace Qt::StringLiterals;

namespace HiddenRulesets {

const QSet<QString>& names() {
    static const QSet<QString> hidden{u"ipcheck"_s};
    return hidden;
}

QStringList visible(const QStringList& all) {
    QStringList shown;
    shown.reserve(all.size());
    for (const QString& name : all) {
        if (!names().contains(name))
            shown.append(name);
    }
    return shown;
}

} // namespace HiddenRulesets
