// The client model against the real substitute service, started as its own process.

#include "AppModel.h"
#include "DevServiceProcess.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

class TestDevService : public QObject
{
    Q_OBJECT

private slots:
    void modelLoadsAndSelectsBuiltInRegions()
    {
        DevServiceProcess service;
        QVERIFY2(service.start(DEVSERVICE_PATH), qPrintable(service.output()));
        ModelMaker maker;
        auto model = maker.make(service.base());

        QCoro::waitFor(model->loadRegions());

        QVERIFY(!model->errorMsg());
        const QList<Region> regions = model->regions();
        QVERIFY(regions.size() >= 10);
        QVERIFY(model->selected());
        QCOMPARE(*model->selected(), regions.first()); // the built-in list starts with an online region
        QVERIFY(model->selected()->online());
        const auto soon
            = std::count_if(regions.cbegin(), regions.cend(), [](const Region &r) { return !r.online(); });
        QVERIFY(soon >= 1 && soon < regions.size());
        for (const Region &r : regions)
            QVERIFY2(!r.flag.isEmpty() && !r.city.isEmpty() && !r.country.isEmpty(), qPrintable(r.id));
    }

    void regionsFromFileAndUnknownPaths()
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
        QCOMPARE(model->regions().size(), 2);
        QCOMPARE(model->selected()->id, QStringLiteral("x1")); // nothing online: the first one

        const auto missing = run(model->get<QList<Region>>("/api/nope"));
        QVERIFY(missing.error);
        QCOMPARE(missing.error->code(), 404);
        QCOMPARE(missing.error->description(), QStringLiteral("not found: GET /api/nope"));
        const auto wrongMethod = run(model->post<QList<Region>>("/api/regions", {}));
        QCOMPARE(wrongMethod.error->description(), QStringLiteral("not found: POST /api/regions"));
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
