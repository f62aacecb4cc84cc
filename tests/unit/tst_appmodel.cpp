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

int fileMode(const QString &path)
{
    struct stat st = {};
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

        // Nothing stored, no address given: signed out, talking to the service itself.
        ModelMaker empty;
        auto fresh = empty.make(std::nullopt);
        QVERIFY(!fresh->token() && !fresh->email() && !fresh->exitIP() && !fresh->isAuthed());
        QCOMPARE(fresh->base(), AppModel::defaultBase);
        QCOMPARE(
            empty.make(u" http://example.test/v1/ "_s)->base(), u" http://example.test/v1/ "_s); // verbatim
    }

    void loadRegionsChoosesALocation_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("last"); // chosen in an earlier run
        QTest::addColumn<QString>("preselected"); // chosen in this run before the load
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *reply, const char *last, const char *pre,
                             const char *expected) {
            QTest::newRow(name) << QString(reply) << QString(last) << QString(pre) << QString(expected);
        };
        row("last choice, still online", "a:soon b:online c:online", "c", "", "c");
        row("last choice, now offline", "a:soon b:online", "a", "", "b");
        row("first online", "z:soon b:online a:online", "", "", "b");
        row("none online takes first", "a:soon b:Online", "", "", "a");
        row("empty list", "", "", "", "");
        row("choice kept though gone", "a:online", "", "gone", "gone");
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
            maker.make(service.base())
                ->chooseRegion(QVariant::fromValue(Region {last, "C", "c", "F", "soon"}));
        auto model = maker.make(service.base());
        if (!preselected.isEmpty())
            model->setSelected(Region {preselected, "X", "x", "F", "soon"});
        // A load that works sends no token and leaves an earlier failure and busy alone.
        model->setToken(u"t"_s);
        model->setErrorMsg(u"earlier failure"_s);
        model->setBusy(true);
        service.enqueue(200, regionsJson(reply));
        QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);
        const auto chosen = [&] { return model->selected() ? model->selected()->id : QString(); };
        QCoro::waitFor(model->loadRegions());
        const QList<Region> loaded = decodeReply<QList<Region>>(regionsJson(reply));
        QCOMPARE(model->regions(), loaded);
        QCOMPARE(chosen(), expected);
        QVERIFY(model->errorMsg() == u"earlier failure"_s && model->busy());
        const RecordedRequest &request = service.requests().value(0);
        QCOMPARE(request.method + ' ' + request.target + ' ' + request.header("authorization"),
            "GET /api/regions "_ba);

        // One that fails, however, shows one fixed text and keeps the list and the choice.
        service.enqueue(200, R"([{"id":"x","country":"C","city":"c","status":"online"}])");
        QCoro::waitFor(model->loadRegions());
        QCOMPARE(model->errorMsg(), std::optional<QString>("could not load regions"));
        QVERIFY(model->regions() == loaded && chosen() == expected);
        QCOMPARE(regionsSpy.count(), 1);
        QCOMPARE(service.requests().size(), 2);
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
        QTRY_COMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
    }

    void settingsFileIsPrivateAndWrittenAtOnce()
    {
        ModelMaker maker;
        const QString file = maker.settingsFile();
        {
            DefaultsStore store(file);
            QVERIFY(fileMode(file) == 0600 && fileMode(QFileInfo(file).absolutePath()) == 0700);
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
        reopened.setValue("cv_exit", "");
        QVERIFY(DefaultsStore(file).value("cv_exit") == u""_s && fileMode(file) == 0600);
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
