#include <QTest>
class TestDevService : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
