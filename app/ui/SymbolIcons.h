#pragma once

#include <QColor>
#include <QImage>
#include <QQuickImageProvider>
#include <QString>

// The bundled icons, named by the symbol names the screens and the tray use
// ("gearshape", "lock.fill"), drawn in one colour at any size.
namespace SymbolIcons {

// Whether an icon of that name is bundled.
bool exists(const QString& name);
// The icon at `size` device pixels in `color`; a null image for an unknown name.
QImage render(const QString& name, const QColor& color, QSize size);

// Serves "image://symbol/<name>/<color>" to QML, e.g. image://symbol/power/ffffff.
// The requested size arrives already scaled to the screen, so icons stay sharp
// at any scale factor.
class Provider final : public QQuickImageProvider {
public:
    Provider();
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace SymbolIcons
