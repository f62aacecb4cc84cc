// The theme, the shared controls and the symbols, loaded as the views load them.

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
        QQmlComponent component(&engine);
        component.setData("import QtQuick\nimport QtQuick.Layouts\nimport Corvanta\n" + qml, QUrl());
        if (component.isError())
            qWarning() << component.errors();
        return std::unique_ptr<QObject>(component.create());
    }
    // A property down a path of objects, as "background.border.width".
    static QVariant value(QObject *object, const QByteArray &path)
    {
        QVariant at = QVariant::fromValue(object);
        for (const QByteArray &name : path.split('.'))
            at = at.value<QObject *>()->property(name);
        return at;
    }

private slots:
    void initTestCase()
    {
        engine.addImportPath("qrc:/");
        engine.addImageProvider("symbol", new IconProvider);
    }

    void colorsFromHex()
    {
        QCOMPARE(colorFromHex(0xAB3BA8FF), QColor(59, 168, 255)); // bits above 24 ignored
        QVERIFY(qAbs(colorFromHex(0x3BA8FF, 0.5).alphaF() - 0.5f) < 0.001f);
    }

    // Filled in its colour, or outlined in it; as wide as its container whatever the title.
    void primaryButtonFilledOrOutlined()
    {
        auto root = load("ColumnLayout { width: 300\nPrimaryButton { title: \"Connect\" }\nPrimaryButton { "
                         "title: \"A much longer title than the first\"; filled: false; color: CV.danger } }");
        QVERIFY(root);
        const QList<QQuickItem *> buttons = qobject_cast<QQuickItem *>(root.get())->childItems();
        QCOMPARE(buttons[0]->width(), 300.0);
        QCOMPARE(buttons[1]->width(), 300.0);
        QCOMPARE(value(buttons[0], "background.color").value<QColor>(), colorFromHex(0x3BA8FF));
        QCOMPARE(value(buttons[0], "contentItem.color").value<QColor>(), colorFromHex(0x0A1226));
        QCOMPARE(value(buttons[1], "background.color").value<QColor>().alpha(), 0);
        QCOMPARE(value(buttons[1], "background.border.width").toReal(), 1.0);
        QCOMPARE(value(buttons[1], "contentItem.color").value<QColor>(), colorFromHex(0xFF5D6C));
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
        QVERIFY(field->property("implicitHeight").toReal() >= hint->implicitHeight() + 18);
    }

    void everySymbolDrawsInItsTint()
    {
        for (QDirIterator it(":/icons"); it.hasNext();) {
            const QString name = it.nextFileInfo().completeBaseName();
            for (int side : {16, 48}) {
                const QImage image = symbolImage(name, colorFromHex(0x2FE3A8), QSize(side, side));
                int inked = 0;
                for (int i = 0; i < side * side; ++i) {
                    const QColor pixel = image.pixelColor(i % side, i / side);
                    inked += pixel.alpha() >= 128;
                    if (pixel.alpha() == 255)
                        QCOMPARE(pixel.rgb(), colorFromHex(0x2FE3A8).rgb());
                }
                QVERIFY2(inked > side * side / 20, qPrintable(name));
            }
        }
        QCOMPARE(symbolImage("no.such.symbol", Qt::white, QSize(16, 16)).pixelColor(8, 8).alpha(), 0);
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
