#pragma once

#include "app/ui/Presentation.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>

// The services' dots as the status screen lists them, one row per visible
// rule-set. A new health verdict changes its row in place, so the dot (and
// its pulsing ring) is not made anew at every probe.
class RulesetDotsModel : public QAbstractListModel {
    Q_OBJECT
    QML_ANONYMOUS
public:
    enum Role { name = Qt::UserRole + 1, tone, tooltip, pulsing };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Takes the dots in the order shown.
    void setDots(QList<Presentation::Dot> dots);
    const QList<Presentation::Dot>& dots() const { return m_dots; }

private:
    QList<Presentation::Dot> m_dots;
};
