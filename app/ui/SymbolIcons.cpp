#include "app/ui/SymbolIcons.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

using namespace Qt::StringLiterals;

namespace SymbolIcons {

namespace {

QString path(const QString& name) {
    return u":/icons/"_s + name + u".svg"_s;
}

} // namespace

bool exists(const QString& name) {
    return !name.contains(u'/') && QFile::exists(path(name));
}

QImage render(const QString& name, const QColor& color, QSize size) {
    if (!exists(name) || size.isEmpty())
        return {};
    QFile file(path(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The icons draw in currentColor; the SVG renderer knows no CSS colour.
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setOpacity(color.alphaF());
    renderer.render(&painter);
    return image;
}

Provider::Provider()
    : QQuickImageProvider(QQuickImageProvider::Image) {}

QImage Provider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const qsizetype slash = id.indexOf(u'/');
    const QString name = id.left(slash);
    const QColor color = slash < 0 ? QColor(Qt::black) : QColor(u'#' + id.mid(slash + 1));
    const QSize target =
        requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize : QSize(24, 24);
    QImage image = render(name, color.isValid() ? color : QColor(Qt::black), target);
    if (size)
        *size = image.size();
    return image;
}

} // namespace SymbolIcons
