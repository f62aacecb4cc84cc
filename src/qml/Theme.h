#pragma once

#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

namespace corvanta {

// An sRGB colour from 0xRRGGBB; bits above the lowest 24 are ignored.
QColor colorFromHex(quint32 hex, double alpha = 1.0);

// The one dark palette every surface is drawn in, and the few text sizes the views
// use, as the QML singleton `CV`.
class Theme : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(CV)
    QML_SINGLETON

    Q_PROPERTY(QColor bg MEMBER bg CONSTANT)
    Q_PROPERTY(QColor panel MEMBER panel CONSTANT)
    Q_PROPERTY(QColor panel2 MEMBER panel2 CONSTANT)
    Q_PROPERTY(QColor border MEMBER border CONSTANT)
    Q_PROPERTY(QColor accent MEMBER accent CONSTANT)
    Q_PROPERTY(QColor ok MEMBER ok CONSTANT)
    Q_PROPERTY(QColor danger MEMBER danger CONSTANT)
    Q_PROPERTY(QColor text MEMBER text CONSTANT)
    Q_PROPERTY(QColor textDim MEMBER textDim CONSTANT)
    // Text styles, in pixels: body for ordinary text, and the named styles.
    Q_PROPERTY(int body MEMBER body CONSTANT)
    Q_PROPERTY(int title3 MEMBER title3 CONSTANT)
    Q_PROPERTY(int caption MEMBER caption CONSTANT)
    Q_PROPERTY(int caption2 MEMBER caption2 CONSTANT)

public:
    using QObject::QObject;

    const QColor bg = colorFromHex(0x0A1226);
    const QColor panel = colorFromHex(0x111D36);
    const QColor panel2 = colorFromHex(0x18253F);
    const QColor border = colorFromHex(0x24324E);
    const QColor accent = colorFromHex(0x3BA8FF);
    const QColor ok = colorFromHex(0x2FE3A8);
    const QColor danger = colorFromHex(0xFF5D6C);
    const QColor text = colorFromHex(0xE8EEF6);
    const QColor textDim = colorFromHex(0x8A98B0);

    const int body = 13;
    const int title3 = 18; // the flags of the location rows
    const int caption = 11;
    const int caption2 = 10;
};

} // namespace corvanta
