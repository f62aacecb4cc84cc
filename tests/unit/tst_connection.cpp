#include <QTest>
class TestConnection : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
