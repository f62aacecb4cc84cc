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

    QQuickItem *item(const char *name) const
    {
        auto *found = view.rootObject()->findChild<QQuickItem *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no item %s", name);
        return found;
    }
    QString title(const char *name) const { return item(name)->property("title").toString(); }
    bool shown(const char *name) const { return item(name)->isVisible(); }
    void click(const char *name)
    {
        QQuickItem *target = item(name);
        QTest::mouseClick(&view, Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }
    void type(const char *field, const QString &text) { item(field)->setProperty("text", text); }
};
} // namespace

class TestLoginPanel : public QObject
{
    Q_OBJECT

private slots:
    void primaryButtonFollowsFieldsAndBusy()
    {
        Rig rig;
        QVERIFY(rig.view.status() == QQuickView::Ready);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Log in"));
        QVERIFY(!rig.item("passwordPrimary")->isEnabled());
        QCOMPARE(rig.item("passwordPrimary")->opacity(), 0.6);
        rig.type("email", "a@b.c");
        QVERIFY(!rig.item("passwordPrimary")->isEnabled()); // password still empty
        rig.type("password", " "); // blanks count as filled
        QVERIFY(rig.item("passwordPrimary")->isEnabled());
        QCOMPARE(rig.item("passwordPrimary")->opacity(), 1.0);

        rig.click("signUpSegment");
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Create account"));
        rig.click("logInSegment");
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Log in"));

        rig.model->setBusy(true);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Please wait…"));
        QVERIFY(!rig.item("passwordPrimary")->isEnabled());
        QVERIFY(!rig.item("google")->isEnabled());
        QCOMPARE(rig.item("google")->opacity(), 0.6);
        QVERIFY(rig.item("email")->isEnabled());
        QVERIFY(rig.item("ssoLink")->isEnabled());
        QVERIFY(rig.item("quit")->isEnabled());
    }

    void errorLineAndFormSwitches()
    {
        Rig rig;
        QVERIFY(!rig.shown("passwordError"));
        rig.model->setErrorMsg("invalid email or password");
        QVERIFY(rig.shown("passwordError"));
        QCOMPARE(rig.item("passwordError")->property("text").toString(),
            QStringLiteral("invalid email or password"));
        rig.click("signUpSegment"); // the mode switch keeps the error
        QVERIFY(rig.model->errorMsg());

        rig.type("email", "kept@example.com");
        rig.click("ssoLink"); // the form links clear it
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(rig.shown("workEmail") && !rig.shown("email"));
        QCOMPARE(rig.title("ssoPrimary"), QStringLiteral("Continue with SSO"));
        QVERIFY(!rig.item("ssoPrimary")->isEnabled());
        rig.type("workEmail", "jo@example.com");
        QVERIFY(rig.item("ssoPrimary")->isEnabled());

        rig.model->setErrorMsg("No SSO is configured for that domain");
        QVERIFY(rig.shown("ssoError"));
        rig.click("back");
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(rig.shown("email"));
        QCOMPARE(rig.item("email")->property("text").toString(), QStringLiteral("kept@example.com"));
    }

    void keyboardAndAssistiveToolsWorkTheControls()
    {
        Rig rig;
        rig.view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&rig.view));
        // Typing starts in the e-mail field; Return sends the form.
        QCOMPARE(rig.view.activeFocusItem(), rig.item("email"));
        for (char c : QByteArray("a@b.c\tpw"))
            QTest::keyClick(&rig.view, c);
        QTest::keyClick(&rig.view, Qt::Key_Return);
        QTRY_VERIFY(rig.model->errorMsg()); // tried: the service is unreachable here
        rig.item("logInSegment")->forceActiveFocus();
        QStringList reached;
        for (int i = 0; i < 8; ++i) {
            reached << rig.view.activeFocusItem()->objectName();
            QTest::keyClick(&rig.view, Qt::Key_Tab);
        }
        QCOMPARE(reached, (QStringList{"logInSegment", "signUpSegment", "email", "password", "passwordPrimary",
                                       "google", "ssoLink", "quit"}));

        // The keyboard works the buttons too: Space, Return and Enter, only with focus.
        rig.item("signUpSegment")->forceActiveFocus();
        QTest::keyClick(&rig.view, Qt::Key_Space);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Create account"));
        rig.item("logInSegment")->forceActiveFocus();
        QTest::keyClick(&rig.view, Qt::Key_Return);
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Log in"));
        rig.item("ssoLink")->forceActiveFocus();
        QTest::keyClick(&rig.view, Qt::Key_Enter);
        QVERIFY(rig.shown("workEmail"));
        QCOMPARE(rig.view.activeFocusItem(), rig.item("workEmail"));
        QTest::keyClick(&rig.view, Qt::Key_Space); // typed into the field, not a click anywhere
        QVERIFY(rig.shown("workEmail"));
        QCOMPARE(rig.item("workEmail")->property("text").toString(), QStringLiteral(" "));

        // A held key presses once.
        rig.item("back")->forceActiveFocus();
        QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QCoreApplication::sendEvent(&rig.view, &repeated);
        QVERIFY(rig.shown("workEmail"));

        // Assistive tools cannot press a disabled button.
        QAccessibleInterface *primary = QAccessible::queryAccessibleInterface(rig.item("ssoPrimary"));
        QVERIFY(primary && primary->actionInterface());
        rig.type("workEmail", QString());
        QVERIFY(!rig.item("ssoPrimary")->isEnabled());
        primary->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(!rig.model->busy() && rig.opened.isEmpty());
        QAccessibleInterface *back = QAccessible::queryAccessibleInterface(rig.item("back"));
        back->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(rig.shown("email"));
    }

    void buttonsStartOperations()
    {
        Rig rig;
        QVERIFY(!rig.shown("googleWaiting"));
        rig.click("google");
        QTRY_COMPARE(rig.opened.size(), 1); // the browser opened on the start page
        QVERIFY(rig.shown("googleWaiting"));
        QCOMPARE(rig.title("passwordPrimary"), QStringLiteral("Please wait…"));
        rig.click("reopenBrowser");
        QCOMPARE(rig.opened, QList<QUrl>({rig.opened[0], rig.opened[0]}));
        rig.click("cancelBrowser");
        QTRY_VERIFY(!rig.model->busy());
        QVERIFY(!rig.shown("googleWaiting"));
        QVERIFY(!rig.model->errorMsg());

        // A disabled button does nothing when clicked.
        rig.click("passwordPrimary");
        QTest::qWait(50);
        QVERIFY(!rig.model->busy() && !rig.model->errorMsg());

        // With both texts, the password form signs in (the service is unreachable here).
        rig.type("email", "a@b.c");
        rig.type("password", "pw");
        rig.click("passwordPrimary");
        QTRY_VERIFY(rig.model->errorMsg().has_value());
        QVERIFY(!rig.model->busy());
        QVERIFY(rig.shown("passwordError"));
    }
};

QTEST_MAIN(TestLoginPanel)
#include "tst_loginpanel.moc"
