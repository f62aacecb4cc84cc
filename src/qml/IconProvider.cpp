#include "IconProvider.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QUrlQuery>

namespace corvanta {

QImage symbolImage(const QString &name, const QColor &color, const QSize &size)
{
    QImage image(size.isValid() ? size : QSize(24, 24), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer svg(QStringLiteral(":/icons/%1.svg").arg(name));
    if (!svg.isValid())
        return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    // The drawing is black on transparent; keep its shape, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

QIcon symbolIcon(const QString &name, const QColor &color)
{
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(symbolImage(name, color, QSize(side, side))));
    return icon;
}

IconProvider::IconProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{ }

QImage IconProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    const qsizetype question = id.indexOf(QLatin1Char('?'));
    const QString name = id.left(question);
    const QColor color(
        QUrlQuery(id.mid(question + 1)).queryItemValue(QStringLiteral("color"), QUrl::FullyDecoded));
    const QSize side = requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize : QSize(24, 24);
    if (size)
        *size = side;
    return symbolImage(name, color.isValid() ? color : QColor(Qt::white), side);
}

} // namespace corvanta
