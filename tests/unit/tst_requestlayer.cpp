#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

using namespace corvanta;
using namespace corvanta::test;

class TestRequestLayer : public QObject
{
    Q_OBJECT
private slots:
    void init() {}
};

QTEST_GUILESS_MAIN(TestRequestLayer)
#include "tst_requestlayer.moc"
