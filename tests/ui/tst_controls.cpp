// The theme's colours, the text field and the symbols, loaded as the views load them.

#include "IconProvider.h"
#include "Theme.h"

#include <QDirIterator>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;

class TestControls : public QObject
{
    Q_OBJECT

    QQmlEngine engine;

    std::unique_ptr<QObject> load(const QByteArray &qml)
    {
        engine.addImportPath("qrc:/");
        QQmlComponent component(&engine);
        component.setData("import QtQuick\nimport Corvanta\n" + qml, QUrl());
        return std::unique_ptr<QObject>(component.create());
    }

private slots:
    void colorsFromHex()
    {
        QCOMPARE(colorFromHex(0xAB3BA8FF), QColor(59, 168, 255)); // bits above 24 ignored
        QVERIFY(qAbs(colorFromHex(0x3BA8FF, 0.5).alphaF() - 0.5f) < 0.001f);
    }

    void fieldMasksAndHints()
    {
        auto field = load("Field { placeholderText: \"Password\"; secure: true; text: \"hunter22\" }");
        QVERIFY(field);
        auto *hint = field->findChild<QQuickItem *>("placeholder");
        QCOMPARE(field->property("echoMode").toInt(), 2); // TextInput.Password
        QVERIFY(!hint->isVisible()); // the hint shows only while the field is empty
        field->setProperty("secure", false);
        field->setProperty("text", QString());
        QCOMPARE(field->property("echoMode").toInt(), 0);
        QVERIFY(hint->isVisible());
    }

    void everySymbolDrawsInItsTint()
    {
        for (QDirIterator it(":/icons"); it.hasNext();) {
            const QImage image = symbolImage(it.nextFileInfo().completeBaseName(), QColor(0x2FE3A8), QSize(16, 16));
            const auto *first = reinterpret_cast<const QRgb *>(image.constBits()), *last = first + 16 * 16;
            QVERIFY2(std::count_if(first, last, [](QRgb p) { return qAlpha(p) >= 128; }) > 12, qPrintable(it.fileName()));
            QVERIFY(std::all_of(first, last, [](QRgb p) { return qAlpha(p) < 255 || p == 0xFF2FE3A8; }));
        }
        QCOMPARE(symbolImage("no.such.symbol", Qt::white, QSize(16, 16)).pixelColor(8, 8).alpha(), 0);
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
