// The login panel, loaded against a real model put in each state.

#include "AppModel.h"
#include "IconProvider.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using namespace corvanta::test;

namespace {
struct Rig
{
    ModelMaker maker;
    QList<QUrl> opened;
    // Nothing listens there: every sign-in fails at once.
    std::unique_ptr<AppModel> model
        = maker.make(QStringLiteral("http://127.0.0.1:9"), {}, {}, [this](const QUrl &url) {
              opened.append(url);
              return true;
          });
    QQuickView view;

    Rig()
    {
        view.engine()->addImportPath("qrc:/");
        view.engine()->addImageProvider("symbol", new IconProvider);
        view.setInitialProperties({{"model", QVariant::fromValue<QObject *>(model.get())}});
        view.setSource(QUrl("qrc:/Corvanta/LoginPanel.qml"));
        view.show();
    }

    QQuickItem *item(const char *name) const { return view.rootObject()->findChild<QQuickItem *>(name); }
    QString title(const char *name) const { return item(name)->property("title").toString(); }
    QString text(const char *name) const { return item(name)->property("text").toString(); }
    bool shown(const char *name) const { return item(name)->isVisible(); }
    void click(const char *name)
    {
        QQuickItem *target = item(name);
        QTest::mouseClick(&view, Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }
    // Gives the item the keyboard, then presses the key.
    void press(const char *name, Qt::Key key)
    {
        item(name)->forceActiveFocus();
        QTest::keyClick(&view, key);
    }
    // What an assistive tool's "press" does.
    void act(const char *name)
    {
        QAccessible::queryAccessibleInterface(item(name))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
    }
    void type(const char *field, const QString &text) { item(field)->setProperty("text", text); }
};
} // namespace

class TestLoginPanel : public QObject
{
    Q_OBJECT

private slots:
    // A browser sign-in shows where to look, opens the page again, or ends quietly;
    // meanwhile the buttons that would start another sign-in do nothing.
    void browserSignInWaits()
    {
        Rig rig;
        rig.type("email", "a@b.c");
        rig.type("password", "pw");
        rig.click("google");
        QTRY_COMPARE(rig.opened.size(), 1); // the browser opened on the start page
        QVERIFY(rig.shown("googleWaiting"));
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Please wait…"));
        rig.click("google");
        rig.click("passwordPrimary");
        rig.click("reopenBrowser");
        QCOMPARE(rig.opened, QList<QUrl>({rig.opened[0], rig.opened[0]}));
        rig.click("cancelBrowser");
        QTRY_VERIFY(!rig.model->busy());
        QTest::qWait(50);
        QVERIFY(!rig.shown("googleWaiting") && !rig.model->errorMsg());
    }

    // Worked from the keyboard and by assistive tools: the forms, their errors, and the
    // links between them, which clear the error but keep what was typed.
    void formsAndErrorsFromTheKeyboard()
    {
        Rig rig;
        rig.view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&rig.view));
        // Typing starts in the e-mail field; Return sends the form (blanks count as a password).
        for (char c : QByteArray("a@b.c\r"))
            QTest::keyClick(&rig.view, c);
        QTest::qWait(50);
        QVERIFY(!rig.model->errorMsg()); // no password yet: nothing sent
        for (char c : QByteArray("\t \r"))
            QTest::keyClick(&rig.view, c);
        QTRY_VERIFY(rig.model->errorMsg()); // tried: the service is unreachable here
        QVERIFY(rig.shown("passwordError") && !rig.model->busy());
        QCOMPARE(rig.text("passwordError"), *rig.model->errorMsg());

        rig.item("logInSegment")->forceActiveFocus();
        QStringList reached;
        for (int i = 0; i < 8; ++i) {
            reached << rig.view.activeFocusItem()->objectName();
            QTest::keyClick(&rig.view, Qt::Key_Tab);
        }
        QCOMPARE(reached,
            (QStringList {"logInSegment", "signUpSegment", "email", "password", "passwordPrimary", "google",
                "ssoLink", "quit"}));

        // Space, Return and Enter press the button that has the keyboard.
        rig.press("signUpSegment", Qt::Key_Space);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Create account"));
        QVERIFY(rig.model->errorMsg()); // the mode switch keeps the error
        rig.press("logInSegment", Qt::Key_Return);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Log in"));
        rig.press("ssoLink", Qt::Key_Enter);
        QVERIFY(rig.shown("workEmail") && !rig.shown("email") && !rig.model->errorMsg());
        QTest::keyClick(&rig.view, Qt::Key_Space); // typed into the field, not a click anywhere
        QCOMPARE(rig.text("workEmail"), QStringLiteral(" "));

        // A held key presses once.
        rig.item("back")->forceActiveFocus();
        QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QCoreApplication::sendEvent(&rig.view, &repeated);
        QVERIFY(rig.shown("workEmail"));

        // Assistive tools press only what is enabled.
        rig.type("workEmail", QString());
        rig.act("ssoPrimary");
        QTest::qWait(50);
        QVERIFY(!rig.model->busy() && !rig.model->errorMsg());
        rig.type("workEmail", "jo@example.com");
        rig.act("ssoPrimary");
        QTRY_VERIFY(rig.shown("ssoError"));
        rig.act("back");
        QVERIFY(rig.shown("email") && !rig.shown("passwordError") && !rig.model->errorMsg());
        QCOMPARE(rig.text("email"), QStringLiteral("a@b.c"));
    }
};

QTEST_MAIN(TestLoginPanel)
#include "tst_loginpanel.moc"
