#include "app/ui/RulesetDotsModel.h"

#include <algorithm>

int RulesetDotsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_dots.size());
}

QVariant RulesetDotsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Presentation::Dot& dot = m_dots.at(index.row());
    switch (role) {
    case name:
        return dot.name;
    case tone:
        return QVariant::fromValue(dot.tone);
    case tooltip:
        return dot.tooltip;
    case pulsing:
        return dot.pulsing;
    }
    return {};
}

QHash<int, QByteArray> RulesetDotsModel::roleNames() const {
    return {{name, "name"}, {tone, "tone"}, {tooltip, "tooltip"}, {pulsing, "pulsing"}};
}

void RulesetDotsModel::setDots(QList<Presentation::Dot> dots) {
    const bool sameNames = std::equal(
        dots.cbegin(), dots.cend(), m_dots.cbegin(), m_dots.cend(),
        [](const Presentation::Dot& a, const Presentation::Dot& b) { return a.name == b.name; });
    if (!sameNames) {
        beginResetModel();
        m_dots = std::move(dots);
        endResetModel();
        return;
    }
    for (qsizetype row = 0; row < dots.size(); ++row) {
        if (dots[row] == m_dots[row])
            continue;
        m_dots[row] = dots[row];
        Q_EMIT dataChanged(index(int(row)), index(int(row)));
    }
}
