#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <sys/stat.h>

using namespace corvanta;
using namespace corvanta::test;
using namespace Qt::StringLiterals;

namespace {

// A list reply from "id:status" words.
QByteArray regionsJson(const QString &idsAndStatus)
{
    QStringList regions;
    for (const QString &word : idsAndStatus.split(' ', Qt::SkipEmptyParts))
        regions << uR"({"id":"%1","country":"C","city":"c","flag":"F","status":"%2"})"_s.arg(
            word.section(':', 0, 0), word.section(':', 1));
    return '[' + regions.join(',').toUtf8() + ']';
}

QString idsAndStatus(const QList<Region> &regions)
{
    QStringList words;
    for (const Region &region : regions)
        words << region.id + ':' + region.status;
    return words.join(' ');
}

int fileMode(const QString &path)
{
    struct stat st { };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class TestAppModel : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("CORVANTA_API"); }

    void constructionRestoresSessionAndSendsNothing()
    {
        FakeService service;
        ModelMaker maker;
        {
            DefaultsStore store(maker.settingsFile());
            store.setValue("cv_token", "");
            store.setValue("cv_email", "ann@example.com");
            store.setValue("cv_exit", "203.0.113.9");
        }
        auto model = maker.make(service.base());
        QVERIFY(model->token() == u""_s && model->isAuthed()); // an empty token still counts
        QVERIFY(model->email() == u"ann@example.com"_s && model->exitIP() == u"203.0.113.9"_s);
        QTest::qWait(50);
        QVERIFY(service.requests().isEmpty());

        ModelMaker empty;
        auto fresh = empty.make(service.base());
        QVERIFY(!fresh->token() && !fresh->email() && !fresh->exitIP() && !fresh->isAuthed());
    }

    void baseComesFromEnvironmentVerbatim()
    {
        ModelMaker maker;
        QCOMPARE(maker.make(std::nullopt)->base(), AppModel::defaultBase);
        QCOMPARE(maker.make(u" http://example.test/v1/ "_s)->base(), u" http://example.test/v1/ "_s);
        // Set but empty: an empty base, so every request fails before it is sent.
        auto model = maker.make(QString());
        QCOMPARE(model->base(), QString());
        QCoro::waitFor(model->loadRegions());
        QCOMPARE(model->errorMsg(), std::optional<QString>("could not load regions"));
    }

    void loadRegionsChoosesALocation_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("last"); // chosen in an earlier run
        QTest::addColumn<QString>("preselected"); // chosen in this run before the load
        QTest::addColumn<QString>("expected");
        QTest::newRow("last choice, still online") << "a:soon b:online c:online" << "c" << "" << "c";
        QTest::newRow("last choice, now offline") << "a:soon b:online" << "a" << "" << "b";
        QTest::newRow("first online") << "z:soon b:online a:online" << "" << "" << "b";
        QTest::newRow("none online takes first") << "a:soon b:Online" << "" << "" << "a";
        QTest::newRow("empty list") << "" << "" << "" << "";
        QTest::newRow("choice kept though gone") << "a:online" << "" << "gone" << "gone";
    }

    void loadRegionsChoosesALocation()
    {
        QFETCH(QString, reply);
        QFETCH(QString, last);
        QFETCH(QString, preselected);
        QFETCH(QString, expected);
        FakeService service;
        ModelMaker maker;
        if (!last.isEmpty())
            maker.make(service.base())->chooseRegion(QVariant::fromValue(Region {last, "C", "c", "F", "soon"}));
        auto model = maker.make(service.base());
        if (!preselected.isEmpty())
            model->setSelected(Region {preselected, "X", "x", "F", "soon"});
        // A load that works sends no token and leaves an earlier failure and busy alone.
        model->setToken(u"t"_s);
        model->setErrorMsg(u"earlier failure"_s);
        model->setBusy(true);
        service.enqueue(200, regionsJson(reply));
        QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);

        QCoro::waitFor(model->loadRegions());

        QCOMPARE(idsAndStatus(model->regions()), reply);
        QCOMPARE(regionsSpy.count(), 1);
        QCOMPARE(model->selected() ? model->selected()->id : QString(), expected);
        QVERIFY(model->errorMsg() == u"earlier failure"_s && model->busy());
        QCOMPARE(service.requests().size(), 1);
        const RecordedRequest &request = service.requests()[0];
        QCOMPARE(request.method + ' ' + request.target, "GET /api/regions"_ba);
        QVERIFY(!request.hasHeader("authorization"));
    }

    void loadRegionsFailureKeepsListAndChoice()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.enqueue(200, regionsJson("a:online b:online"));
        QCoro::waitFor(model->loadRegions());
        const QList<Region> before = model->regions();
        // Refused, or a list that does not decode: one fixed text either way.
        for (const FakeReply &failure : {FakeReply {500, R"({"message":"database down"})", {}},
                 FakeReply {200, R"([{"id":"x","country":"C","city":"c","status":"online"}])", {}}}) {
            model->setErrorMsg(std::nullopt);
            service.enqueue(failure);
            QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);
            QCoro::waitFor(model->loadRegions());
            QCOMPARE(model->errorMsg(), std::optional<QString>("could not load regions"));
            QCOMPARE(model->regions(), before);
            QCOMPARE(model->selected()->id, u"a"_s);
            QCOMPARE(regionsSpy.count(), 0);
        }
    }

    void modelGoneWhileTheListDecodes()
    {
        // A list long enough that the model can go while a worker thread decodes it.
        FakeService service;
        service.enqueue(200, regionsJson(u"r:online "_s.repeated(100'000)));
        ModelMaker maker;
        auto model = maker.make(service.base());
        QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);
        model->startLoadRegions();
        QTRY_VERIFY(QThreadPool::globalInstance()->activeThreadCount() > 0);
        // The destructor waits for the decode and sees the load through; nothing
        // is left to resume on a model that is gone (AddressSanitizer would say).
        model.reset();
        QCOMPARE(regionsSpy.count(), 1);
        QTest::qWait(100);
        QTRY_COMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
    }

    void settingsFileIsPrivateAndWrittenAtOnce()
    {
        ModelMaker maker;
        const QString file = maker.settingsFile();
        {
            DefaultsStore store(file);
            QCOMPARE(fileMode(file), 0600);
            QCOMPARE(fileMode(QFileInfo(file).absolutePath()), 0700);
            store.setValue("cv_token", "secret");
            store.setValue("cv_email", "a@b.c");
            // Written at once: another reader sees it without any explicit save.
            QCOMPARE(DefaultsStore(file).value("cv_token"), std::optional<QString>("secret"));
            store.remove("cv_email");
            QCOMPARE(DefaultsStore(file).value("cv_email"), std::nullopt);
            QCOMPARE(fileMode(file), 0600);
        }
        // A file left readable by others (an older version, a copy) is tightened.
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0644) == 0);
        DefaultsStore reopened(file);
        QCOMPARE(fileMode(file), 0600);
        // Text survives as is, including an empty text and characters INI files treat specially.
        reopened.setValue("cv_exit", "");
        reopened.setValue("cv_email", "a=b;c,d#e\"f");
        DefaultsStore again(file);
        QVERIFY(again.value("cv_token") == u"secret"_s && again.value("cv_exit") == u""_s);
        QCOMPARE(again.value("cv_email"), std::optional<QString>("a=b;c,d#e\"f"));
        QCOMPARE(fileMode(file), 0600);
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
