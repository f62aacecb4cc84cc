#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QQuickImageProvider>

namespace corvanta {

// Our own symbols (src/icons/<name>.svg), drawn in one colour at any size.
QImage symbolImage(const QString &name, const QColor &color, const QSize &size);
QIcon symbolIcon(const QString &name, const QColor &color);

// "image://symbol/<name>?color=<#rrggbb>" for the views.
class IconProvider : public QQuickImageProvider
{
public:
    IconProvider();
    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;
};

} // namespace corvanta
