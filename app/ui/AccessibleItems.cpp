#include "app/ui/AccessibleItems.h"

#include <QAccessible>
#include <QQuickItem>
#include <QtQuick/private/qaccessiblequickitem_p.h>
#include <QtQuick/private/qquickitem_p.h>

namespace {

class ItemWithEnabledState final : public QAccessibleQuickItem {
public:
    using QAccessibleQuickItem::QAccessibleQuickItem;

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleQuickItem::state();
        if (!item()->isEnabled())
            state.disabled = true;
        return state;
    }
};

// Qt asks each maker with every class name of the object, most derived
// first; answering the first is enough, and leaves the window, which is no
// item, to Qt Quick's own maker.
QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item || className != QLatin1StringView(object->metaObject()->className()) ||
        !QQuickItemPrivate::get(item)->isAccessible)
        return nullptr;
    return new ItemWithEnabledState(item);
}

} // namespace

namespace AccessibleItems {

void install() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

} // namespace AccessibleItems
