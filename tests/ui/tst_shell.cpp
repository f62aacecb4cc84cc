// The application shell: quitting ends the process, the tray menu tells the state
// and offers what can be done now, and start at login writes the desktop's entry.

#include "Autostart.h"
#include "CorvantaApp.h"
#include "FakeService.h"
#include "SingleInstance.h"
#include "Theme.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QQuickItem>
#include <QQuickView>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using namespace Qt::StringLiterals;

namespace {

// A client as main() makes it, with its own settings and socket (no tray offscreen).
struct Client
{
    QTemporaryDir dir;
    SingleInstance instance {dir.filePath("sock")};
    std::unique_ptr<CorvantaApp> app;

    explicit Client(const QString &api = {})
    {
        qputenv("CORVANTA_API", api.toUtf8());
        AppModel::Setup setup;
        setup.settingsFile = dir.filePath("corvanta.conf");
        setup.keyring = {};
        instance.listen();
        app = std::make_unique<CorvantaApp>(instance, setup);
    }
    QQuickView *popover() const { return app->popover(); }
    void click(const char *name, Qt::MouseButton button = Qt::LeftButton) const
    {
        const auto *item = popover()->rootObject()->findChild<QQuickItem *>(name);
        QTest::mouseClick(popover(), button, {}, item->mapToScene(QPointF(item->width() / 2, 5)).toPoint());
    }
};

// In a child process: starts a client, quits it the way `how` says and runs the
// event loop as main() does; the parent sees whether the process ends.
int runChild(const QString &how)
{
    QApplication::setQuitOnLastWindowClosed(false);
    Client client;
    if (how == "quit-main")
        client.app->model().setToken("t");
    if (!QTest::qWaitForWindowExposed(client.popover()))
        return 2;
    QTimer::singleShot(0, [&] { how == "close-window" ? void(client.popover()->close()) : client.click("quit"); });
    return QApplication::exec();
}

QString execOf(const QString &entryPath)
{
    QFile entry(entryPath);
    entry.open(QIODevice::ReadOnly);
    return QRegularExpression("^Exec=(.*)$", QRegularExpression::MultilineOption).match(entry.readAll()).captured(1);
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void quittingEndsTheProcess_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Quit corvanta, login panel") << "quit-login";
        QTest::newRow("Quit, main panel") << "quit-main";
        QTest::newRow("closing the window") << "close-window"; // the window manager's close button
    }
    void quittingEndsTheProcess()
    {
        QFETCH(QString, how);
        // 124: still running after 15 s.
        QCOMPARE(QProcess::execute("timeout", {"15", QCoreApplication::applicationFilePath(), how}), 0);
    }

    void trayMenuFollowsTheModel()
    {
        test::FakeService service;
        Client client(service.base());
        AppModel &model = client.app->model();
        QMenu *menu = client.app->trayMenu();
        const QList<QAction *> actions = menu->actions();
        QStringList texts;
        for (const QAction *action : actions)
            texts << action->text();
        QCOMPARE(texts.join('|'),
            u"Not connected|Connect||Open corvanta|Locations…||Start at login|Copy diagnostics||Quit"_s);
        // The status line, and the connect entry as it stands.
        const auto says = [&] {
            return actions[0]->text() + '|' + actions[1]->text() + (actions[1]->isEnabled() ? "" : " (off)");
        };
        QCOMPARE(says(), u"Not connected|Connect (off)"_s); // signed out, nothing chosen
        QCOMPARE(client.popover()->title(), u"corvanta"_s);
        QCOMPARE(client.popover()->color(), Theme().bg);

        // Signed out, "Locations…" still shows the list: it loads it.
        service.enqueue(
            200, R"([{"id":"de","country":"Germany","city":"Frankfurt","flag":"F","status":"online"}])");
        actions[4]->trigger();
        QTRY_COMPARE(model.regionCount(), 1);
        QVERIFY(client.app->locations()->isVisible());
        client.app->locations()->close();

        model.setToken("t");
        QCOMPARE(says(), u"Not connected|Connect"_s); // the first online location is chosen
        client.click("allLink");
        QTRY_VERIFY(client.app->locations()->isVisible());
        // Without a tray the window's "More…" and a right click open the same menu.
        for (const Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
            client.click(button == Qt::LeftButton ? "more" : "statusTitle", button);
            QTRY_VERIFY(menu->isVisible());
            menu->hide();
        }
        model.setState(AppModel::ConnState::provisioning);
        QCOMPARE(says(), u"Provisioning…|Connect (off)"_s);
        model.setState(AppModel::ConnState::connected);
        QCOMPARE(says(), u"Protected via Frankfurt|Disconnect"_s);
        model.setState(AppModel::ConnState::failed);
        QCOMPARE(says(), u"Could not connect|Connect"_s);

        actions[7]->trigger(); // "Copy diagnostics", said beside the pointer without a tray
        QVERIFY(QGuiApplication::clipboard()->text().contains("Connection: failed"));
        QVERIFY(QToolTip::text().startsWith("Diagnostics copied. "));
    }

    // The entry the desktop starts at login comes and goes with the menu's check mark.
    void startAtLogin()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        Client client;
        QAction *action = client.app->trayMenu()->actions()[6];
        QFile entry(config.filePath("autostart/corvanta.desktop"));
        QVERIFY(!action->isChecked());
        action->trigger();
        QVERIFY(action->isChecked());
        QCOMPARE(execOf(entry.fileName()), QDir(QCoreApplication::applicationFilePath()).canonicalPath() + " --hidden");
        QCOMPARE(entry.permissions() & 0x7077, // (without the "user" bits)
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        action->trigger();
        QVERIFY(!entry.exists());
        QVERIFY(!action->isChecked());

        // A path the desktop would split or expand goes in quoted and escaped; any
        // corvanta started hidden counts as this program's entry.
        const QString base = QDir(config.path()).canonicalPath();
        QFile program(base + "/a \"b\" `c` $d 5%/corvanta");
        QVERIFY(QDir().mkpath(QFileInfo(program).path()) && program.open(QIODevice::WriteOnly));
        QCOMPARE(autostart::setEnabled(true, program.fileName()), QString());
        QCOMPARE(execOf(entry.fileName()),
            "\"" + base + QString("/a |\"b|\" |`c|` |$d 5%%/corvanta\" --hidden").replace("|", "\\\\"));
        QVERIFY(autostart::isEnabled(QCoreApplication::applicationFilePath()));
    }
};

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString how = QCoreApplication::arguments().value(1);
    if (how.startsWith("quit-") || how == "close-window")
        return runChild(how);
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shell.moc"
