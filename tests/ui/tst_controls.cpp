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

namespace {
std::unique_ptr<QObject> load(QQmlEngine &engine, const QByteArray &qml)
{
    QQmlComponent component(&engine);
    component.setData(qml, QUrl());
    std::unique_ptr<QObject> object(component.create());
    if (!object)
        qWarning() << component.errors();
    return object;
}

QQuickItem *child(QObject *root, const char *name)
{
    return root->findChild<QQuickItem *>(QString::fromLatin1(name));
}
} // namespace

class TestControls : public QObject
{
    Q_OBJECT

    QQmlEngine engine;

private slots:
    void initTestCase()
    {
        engine.addImportPath("qrc:/");
        engine.addImageProvider("symbol", new IconProvider);
    }

    void colorsFromHex()
    {
        const QColor accent = colorFromHex(0x3BA8FF);
        QCOMPARE(accent.redF(), 59 / 255.0f);
        QCOMPARE(accent.greenF(), 168 / 255.0f);
        QCOMPARE(accent.blueF(), 255 / 255.0f);
        QCOMPARE(accent.alphaF(), 1.0f);
        QCOMPARE(colorFromHex(0xAB3BA8FF), accent); // bits above 24 ignored
        QVERIFY(qAbs(colorFromHex(0x3BA8FF, 0.5).alphaF() - 0.5f) < 0.001f);

        auto palette = load(engine,
            "import QtQuick\nimport Corvanta\nQtObject { property color a: CV.accent; "
            "property color b: CV.bg; property int t: CV.title3 }");
        QVERIFY(palette);
        QCOMPARE(palette->property("a").value<QColor>(), colorFromHex(0x3BA8FF));
        QCOMPARE(palette->property("b").value<QColor>(), colorFromHex(0x0A1226));
        QCOMPARE(palette->property("t").toInt(), 18);
    }

    void primaryButtonFillsItsContainer()
    {
        auto root = load(engine, R"(import QtQuick
import QtQuick.Layouts
import Corvanta
ColumnLayout {
    width: 300
    PrimaryButton { objectName: "filled"; title: "Connect" }
    PrimaryButton { objectName: "outlined"; title: "A much longer title than the first one"; filled: false; color: CV.danger }
})");
        QVERIFY(root);
        QQuickItem *filled = child(root.get(), "filled");
        QQuickItem *outlined = child(root.get(), "outlined");
        QCOMPARE(filled->width(), 300.0);
        QCOMPARE(outlined->width(), 300.0);

        auto *filledBackground = filled->property("background").value<QQuickItem *>();
        auto *filledLabel = filled->property("contentItem").value<QQuickItem *>();
        QCOMPARE(filledBackground->property("color").value<QColor>(), colorFromHex(0x3BA8FF));
        QCOMPARE(filledLabel->property("color").value<QColor>(), colorFromHex(0x0A1226));
        QCOMPARE(filledBackground->property("radius").toReal(), 10.0);
        QCOMPARE(filledLabel->property("text").toString(), QStringLiteral("Connect"));

        auto *outlinedBackground = outlined->property("background").value<QQuickItem *>();
        auto *outlinedLabel = outlined->property("contentItem").value<QQuickItem *>();
        QCOMPARE(outlinedBackground->property("color").value<QColor>().alpha(), 0);
        QCOMPARE(outlinedLabel->property("color").value<QColor>(), colorFromHex(0xFF5D6C));
        QCOMPARE(outlinedBackground->property("border").value<QObject *>()->property("width").toReal(), 1.0);
    }

    void fieldMasksAndKeepsText()
    {
        auto field = load(
            engine, "import QtQuick\nimport Corvanta\nField { placeholderText: \"Password\"; secure: true }");
        QVERIFY(field);
        QCOMPARE(field->property("echoMode").toInt(), 2); // TextInput.Password
        field->setProperty("text", "hunter22");
        field->setProperty("secure", false);
        QCOMPARE(field->property("echoMode").toInt(), 0);
        QCOMPARE(field->property("text").toString(), QStringLiteral("hunter22"));
        QCOMPARE(field->property("padding").toReal(), 9.0);
        auto *background = field->property("background").value<QQuickItem *>();
        QCOMPARE(background->property("color").value<QColor>(), colorFromHex(0x111D36));
        QCOMPARE(background->property("radius").toReal(), 8.0);

        // The hint shows only while the field is empty.
        auto *placeholder = child(field.get(), "placeholder");
        QVERIFY(placeholder);
        QVERIFY(!placeholder->isVisible());
        field->setProperty("text", QString());
        QVERIFY(placeholder->isVisible());
        QCOMPARE(placeholder->property("text").toString(), QStringLiteral("Password"));
        QVERIFY(field->property("implicitHeight").toReal() >= placeholder->implicitHeight() + 18);
    }

    void buttonsTakeTheSizeOfTheirContent()
    {
        // A button of no size would vanish from a layout, and a list of them
        // would make every row at once.
        auto link = load(engine, "import QtQuick\nimport Corvanta\nTextButton { text: \"Quit corvanta\" }");
        QVERIFY(link);
        QVERIFY(link->property("implicitWidth").toReal() > 40);
        QVERIFY(link->property("implicitHeight").toReal() > 10);
        auto row = load(engine,
            "import QtQuick\nimport Corvanta\nLocationRow { flag: \"\"; country: \"Canada\"; city: \"Toronto\" }");
        QVERIFY(row);
        QVERIFY(row->property("implicitHeight").toReal() > 30);

        // On a screen scaled by 2 (see main) a symbol keeps its logical size.
        auto symbol = load(engine, "import QtQuick\nimport Corvanta\nSymbol { name: \"globe\"; size: 13 }");
        QCOMPARE(symbol->property("implicitWidth").toReal(), 13.0);
        QCOMPARE(symbol->property("implicitHeight").toReal(), 13.0);
    }

    void everySymbolDrawsInItsTint()
    {
        for (QDirIterator it(":/icons"); it.hasNext();) {
            const QString name = it.nextFileInfo().completeBaseName();
            for (int side : {16, 48}) {
                const QImage image = symbolImage(name, colorFromHex(0x2FE3A8), QSize(side, side));
                int inked = 0;
                for (int y = 0; y < image.height(); ++y) {
                    for (int x = 0; x < image.width(); ++x) {
                        const QColor pixel = image.pixelColor(x, y);
                        inked += pixel.alpha() >= 128;
                        if (pixel.alpha() == 255)
                            QCOMPARE(pixel.rgb(), colorFromHex(0x2FE3A8).rgb());
                    }
                }
                QVERIFY2(inked > side * side / 20, qPrintable(name));
            }
        }
        const QImage missing = symbolImage("no.such.symbol", Qt::white, QSize(16, 16));
        QCOMPARE(missing.pixelColor(8, 8).alpha(), 0);
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_SCALE_FACTOR", "2");
    QGuiApplication app(argc, argv);
    TestControls test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_controls.moc"
