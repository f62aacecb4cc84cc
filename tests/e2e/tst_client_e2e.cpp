// The real client on the offscreen platform against the substitute service: it
// restores a session, shows its window (no tray there), loads the locations, and
// a second start only brings the running one forward.

#include "DefaultsStore.h"
#include "DevServiceProcess.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

class TestClientEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void startsShowsAndStaysSingle()
    {
        DevServiceProcess service;
        QVERIFY2(service.start(DEVSERVICE_PATH), qPrintable(service.output()));
        QTemporaryDir home;
        QVERIFY(QDir(home.path()).mkpath("runtime"));
        QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        {
            DefaultsStore store(home.filePath("config/corvanta/corvanta.conf"));
            store.setValue("cv_token", service.demoToken());
            store.setValue("cv_email", "demo@corvanta.test");
        }

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
        // No session bus: the session stays in the file and out of the user's keyring.
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
        env.insert("CORVANTA_API", service.base());

        QProcess client;
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(CLIENT_PATH, {});
        QVERIFY(client.waitForStarted());
        // The window comes up, refreshes the state and loads the list.
        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains("GET /api/regions -> 200"), 15000);
        QCOMPARE(client.state(), QProcess::Running);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(CLIENT_PATH, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(client.state(), QProcess::Running);

        client.terminate();
        QVERIFY(client.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestClientEndToEnd)
#include "tst_client_e2e.moc"
