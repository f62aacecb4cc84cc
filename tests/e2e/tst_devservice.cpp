// The client model against the real substitute service, serving its regions from a
// file (devservice_curl.sh and tst_client_e2e cover the rest of the service).

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
    void regionsFromFile()
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
        QVERIFY(!model->regions()[1].online());
        QCOMPARE(model->selected()->id, QStringLiteral("x1")); // nothing online: the first one
    }
};

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
