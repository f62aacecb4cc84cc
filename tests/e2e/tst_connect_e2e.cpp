// A model connects to the substitute service and brings the tunnel up through the
// real connect script (its process-id file and agent redirected to a temporary folder).

#include "AppModel.h"
#include "DevServiceProcess.h"
#include "TestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using namespace std::chrono_literals;

class TestConnectEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void connectHeartbeatDisconnect()
    {
        DevServiceProcess service;
        QVERIFY2(
            service.start(DEVSERVICE_PATH, {"--provision-seconds", "0.3"}), qPrintable(service.output()));
        QTemporaryDir dir;
        const QString pidFile = dir.filePath("tunnel.pid");
        qputenv("CV_PID_FILE", pidFile.toUtf8());
        qputenv("CV_AGENT", dir.filePath("no-agent").toUtf8());

        // sudo without a password prompt: drop "-n" and run the script directly.
        const QString sudo = dir.filePath("sudo");
        QFile fake(sudo);
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/bash\nshift\nexec \"$@\"\n");
        fake.close();
        fake.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        Paths paths;
        paths.sudo = sudo;
        paths.helper = CONNECT_SCRIPT;
        paths.pidFile = pidFile;
        ModelMaker maker;
        auto model = maker.make(service.base(), Timing {10s, 100ms, 200ms}, paths);
        model->setToken(service.demoToken());
        QCoro::waitFor(model->loadRegions());
        QVERIFY(model->selected() && model->selected()->online());

        QCoro::waitFor(model->connect());
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or(QString())));
        QCOMPARE(model->state(), AppModel::ConnState::connected);
        QVERIFY(model->exitIP() && model->exitIP()->startsWith("198.51.100."));
        QVERIFY(QFile::exists(pidFile));
        model->setState(AppModel::ConnState::disconnected);
        model->refreshStatus(); // the tunnel process is alive
        QCOMPARE(model->state(), AppModel::ConnState::connected);

        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains("/heartbeat -> 200"), 10000);
        QVERIFY(service.output().contains("/status -> 200")); // it was provisioned first

        QCoro::waitFor(model->disconnect());
        QCOMPARE(model->state(), AppModel::ConnState::disconnected);
        QVERIFY(!QFile::exists(pidFile));
        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains("/release -> 200"), 5000);
        model->refreshStatus();
        QCOMPARE(model->state(), AppModel::ConnState::disconnected);
    }
};

QTEST_GUILESS_MAIN(TestConnectEndToEnd)
#include "tst_connect_e2e.moc"
