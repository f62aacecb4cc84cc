// The application shell: quitting ends the process, and the tray menu tells the
// state and offers what can be done now.

#include "CorvantaApp.h"
#include "FakeService.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using namespace corvanta::test;

namespace {

// A client as main() makes it, with its own settings and socket, nothing to send to.
struct Client
{
    QTemporaryDir dir;
    SingleInstance instance {dir.filePath("sock")};
    std::unique_ptr<CorvantaApp> app;

    explicit Client(const QString &api, bool signedIn = false)
    {
        qputenv("CORVANTA_API", api.toUtf8());
        AppModel::Setup setup;
        setup.settingsFile = dir.filePath("corvanta.conf");
        setup.keyring = {};
        if (signedIn)
            DefaultsStore(setup.settingsFile).setValue(AppModel::tokenKey, "t");
        instance.listen();
        app = std::make_unique<CorvantaApp>(instance, setup);
    }
};

// In a child process: starts a client, quits it the way `how` says, and runs the
// event loop as main() does; the parent sees whether the process ends.
int runChild(int argc, char *argv[], const QByteArray &how)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Client client(QString(), how == "quit-main");
    QQuickView *popover = client.app->popover();
    if (!QTest::qWaitForWindowExposed(popover))
        return 2;
    QTimer::singleShot(0, [&] {
        if (how == "close-window") {
            popover->close(); // as the window manager's close button does
            return;
        }
        const auto *quit = popover->rootObject()->findChild<QQuickItem *>("quit");
        QTest::mouseClick(
            popover, Qt::LeftButton, {}, quit->mapToScene(QPointF(quit->width() / 2, 5)).toPoint());
    });
    return QApplication::exec();
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    // No tray offscreen: the popover is the window, so closing it quits too.
    void quittingEndsTheProcess_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Quit corvanta, login panel") << "quit-login";
        QTest::newRow("Quit, main panel") << "quit-main";
        QTest::newRow("closing the window") << "close-window";
    }
    void quittingEndsTheProcess()
    {
        QFETCH(QString, how);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {how});
        const bool ended = child.waitForFinished(15000);
        if (!ended)
            child.kill();
        QVERIFY2(ended, "the client is still running");
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    }

    void trayMenuFollowsTheModel()
    {
        FakeService service;
        Client client(service.base());
        AppModel &model = client.app->model();
        const QList<QAction *> actions = client.app->trayMenu()->actions();
        QStringList texts;
        for (const QAction *action : actions)
            texts << action->text();
        QCOMPARE(texts,
            QStringList({"Not connected", "Connect", "", "Open corvanta", "Locations…", "", "Start at login",
                "Copy diagnostics", "", "Quit"}));
        QAction *status = actions[0], *connect = actions[1];
        QVERIFY(!status->isEnabled());
        QVERIFY(!connect->isEnabled()); // signed out, nothing chosen
        QCOMPARE(client.app->popover()->title(), QStringLiteral("corvanta"));

        // Signed out, "Locations…" still shows the list: it loads it.
        service.enqueue(
            200, R"([{"id":"de","country":"Germany","city":"Frankfurt","flag":"F","status":"online"}])");
        actions[4]->trigger();
        QTRY_COMPARE(model.regionCount(), 1);
        QVERIFY(client.app->locations()->isVisible());

        model.setToken("t");
        QVERIFY(connect->isEnabled()); // the first online location is chosen
        // Without a tray, the window's "More…" opens the same menu.
        QQuickItem *more = client.app->popover()->rootObject()->findChild<QQuickItem *>("more");
        QVERIFY(more);
        QTest::mouseClick(
            client.app->popover(), Qt::LeftButton, {}, more->mapToScene(QPointF(5, 5)).toPoint());
        QTRY_VERIFY(client.app->trayMenu()->isVisible());
        client.app->trayMenu()->hide();
        model.setState(AppModel::ConnState::provisioning);
        QCOMPARE(status->text(), QStringLiteral("Provisioning…"));
        QVERIFY(!connect->isEnabled());
        model.setState(AppModel::ConnState::connected);
        QCOMPARE(status->text(), QStringLiteral("Protected via Frankfurt"));
        QCOMPARE(connect->text(), QStringLiteral("Disconnect"));
        QVERIFY(connect->isEnabled());
        model.setState(AppModel::ConnState::failed);
        QCOMPARE(status->text(), QStringLiteral("Could not connect"));
        QCOMPARE(
            CorvantaApp::trayIconName(AppModel::ConnState::failed), QStringLiteral("exclamationmark.shield"));
    }

    // The entry the desktop starts at login comes and goes with the menu's check mark.
    void startAtLogin()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        Client client {QString()};
        QAction *action = client.app->trayMenu()->actions()[6];
        QFile entry(config.filePath("autostart/corvanta.desktop"));
        QVERIFY(!action->isChecked());
        action->trigger();
        QVERIFY(action->isChecked());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString exec
            = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath() + " --hidden";
        QVERIFY(entry.readAll().contains("\nExec=" + exec.toUtf8() + "\n"));
        QCOMPARE(entry.permissions() & 0x7077, // (without the "user" bits)
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        action->trigger();
        QVERIFY(!entry.exists());
        QVERIFY(!action->isChecked());
    }
};

int main(int argc, char *argv[])
{
    const QByteArray how = argc == 2 ? QByteArray(argv[1]) : QByteArray();
    if (how.startsWith("quit-") || how == "close-window")
        return runChild(argc, argv, argv[1]);
    QApplication application(argc, argv);
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shell.moc"
