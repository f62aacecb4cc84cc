// The client model against the real substitute service, started as its own process
// (its built-in list is used by tst_client_e2e and devservice_curl.sh).

#include "DevServiceProcess.h"
#include "TestSupport.h"

#include <QTemporaryFile>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

class TestDevService : public QObject
{
    Q_OBJECT

private slots:
    void regionsFromFileAndUnknownMethod()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(R"([{"id":"x1","country":"Atlantis","city":"Poseidonia","flag":"🏳️","status":"soon"},
                       {"id":"x2","country":"Lemuria","city":"Mu","flag":"🏳️","status":"maintenance"}])");
        file.close();
        DevServiceProcess service;
        QVERIFY2(
            service.start(DEVSERVICE_PATH, {"--regions", file.fileName()}), qPrintable(service.output()));
        ModelMaker maker;
        auto model = maker.make(service.base());
        QCoro::waitFor(model->loadRegions());
        QVERIFY(!model->errorMsg());
        QCOMPARE(model->regions().size(), 2);
        QCOMPARE(model->selected()->id, QStringLiteral("x1")); // nothing online: the first one

        const auto wrongMethod = run(model->post<QList<Region>>("/api/regions", {}));
        QCOMPARE(wrongMethod.error ? wrongMethod.error->description() : QString(),
            QStringLiteral("not found: POST /api/regions"));
    }

    void refusesBadArguments()
    {
        QProcess process;
        process.start(DEVSERVICE_PATH, {"--port", "0", "--regions", "/nonexistent/regions.json"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("cannot read /nonexistent/regions.json"));
        process.start(DEVSERVICE_PATH, {"--port", "70000"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
