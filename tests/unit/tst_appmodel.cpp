#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <sys/stat.h>

using namespace corvanta;
using namespace corvanta::test;

namespace {

QByteArray regionsJson(const QList<std::pair<const char *, const char *>> &idsAndStatus)
{
    QByteArray json = "[";
    for (const auto &[id, status] : idsAndStatus) {
        if (json.size() > 1)
            json += ',';
        json += QByteArray(R"({"id":")") + id + R"(","country":"Country","city":"City","flag":"F","status":")"
            + status + R"("})";
    }
    return json + "]";
}

int fileMode(const QString &path)
{
    struct stat st
    { };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mode & 07777;
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
        QCOMPARE(model->token(), std::optional<QString>(QString("")));
        QVERIFY(model->isAuthed()); // an empty token still counts
        QCOMPARE(model->email(), std::optional<QString>("ann@example.com"));
        QCOMPARE(model->exitIP(), std::optional<QString>("203.0.113.9"));
        QVERIFY(model->regions().isEmpty());
        QVERIFY(!model->selected());
        QCOMPARE(model->state(), AppModel::ConnState::disconnected);
        QVERIFY(!model->errorMsg());
        QVERIFY(!model->busy());
        QVERIFY(!model->account());
        QTest::qWait(50);
        QVERIFY(service.requests().isEmpty());

        ModelMaker empty;
        auto fresh = empty.make(service.base());
        QVERIFY(!fresh->token() && !fresh->email() && !fresh->exitIP());
        QVERIFY(!fresh->isAuthed());
    }

    void baseComesFromEnvironmentVerbatim()
    {
        ModelMaker maker;
        const QUrl production(AppModel::defaultBase);
        QCOMPARE(maker.make(std::nullopt)->base(), AppModel::defaultBase);
        QCOMPARE(production.scheme(), QStringLiteral("https"));
        QVERIFY(!production.host().isEmpty());
        QVERIFY(production.path().isEmpty() && !AppModel::defaultBase.endsWith('/'));

        QCOMPARE(maker.make(QStringLiteral(" http://example.test/v1/ "))->base(),
            QStringLiteral(" http://example.test/v1/ "));

        // Set but empty: an empty base, so every request fails before it is sent.
        auto model = maker.make(QString());
        QCOMPARE(model->base(), QString());
        QCoro::waitFor(model->loadRegions());
        QCOMPARE(model->errorMsg(), std::optional<QString>("could not load regions"));
    }

    void loadRegionsChoosesFirstLocation_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("preselected"); // empty: nothing chosen yet
        QTest::addColumn<QString>("expected"); // empty: nothing chosen after
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("last"); // the choice of the last run, if any
        QTest::newRow("last choice, still online") << regionsJson({{"a", "soon"}, {"b", "online"}, {"c", "online"}})
                                                   << "" << "c" << 3 << "c";
        QTest::newRow("last choice, now offline") << regionsJson({{"a", "soon"}, {"b", "online"}}) << ""
                                                  << "b" << 2 << "a";
        QTest::newRow("first online") << regionsJson({{"a", "soon"}, {"b", "online"}, {"c", "online"}}) << ""
                                      << "b" << 3 << "";
        QTest::newRow("none online takes first") << regionsJson({{"a", "soon"}, {"b", "Online"}}) << ""
                                                 << "a" << 2 << "";
        QTest::newRow("empty list") << QByteArray("[]") << ""
                                    << "" << 0 << "";
        QTest::newRow("choice kept though gone") << regionsJson({{"a", "online"}}) << "gone"
                                                 << "gone" << 1 << "";
        QTest::newRow("choice kept though present") << regionsJson({{"a", "online"}, {"b", "online"}}) << "b"
                                                    << "b" << 2 << "";
    }

    void loadRegionsChoosesFirstLocation()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, preselected);
        QFETCH(QString, expected);
        QFETCH(int, count);
        QFETCH(QString, last);

        FakeService service;
        ModelMaker maker;
        if (!last.isEmpty())
            DefaultsStore(maker.settingsFile()).setValue(AppModel::regionKey, last);
        auto model = maker.make(service.base());
        if (!preselected.isEmpty())
            model->setSelected(Region {preselected, "X", "x", "F", "soon"});
        service.enqueue(200, reply);
        QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);

        QCoro::waitFor(model->loadRegions());

        QCOMPARE(model->regions().size(), count);
        QCOMPARE(regionsSpy.count(), 1);
        QCOMPARE(model->selected() ? model->selected()->id : QString(), expected);
        QVERIFY(!model->errorMsg());
        QCOMPARE(service.requests().size(), 1);
        QCOMPARE(service.requests()[0].method, QByteArray("GET"));
        QCOMPARE(service.requests()[0].target, QByteArray("/api/regions"));
    }

    void loadRegionsKeepsOrderAndOldChoiceCopy()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        model->setToken("t"); // the list is fetched without the token
        model->setErrorMsg("earlier failure");
        model->setBusy(true);
        service.enqueue(200, regionsJson({{"z", "online"}, {"a", "online"}, {"m", "soon"}}));
        QCoro::waitFor(model->loadRegions());
        QCOMPARE(model->regions()[0].id, QStringLiteral("z"));
        QCOMPARE(model->regions()[2].id, QStringLiteral("m"));
        QVERIFY(!service.requests()[0].hasHeader("authorization"));
        // Success neither clears an old error nor touches busy.
        QCOMPARE(model->errorMsg(), std::optional<QString>("earlier failure"));
        QVERIFY(model->busy());

        // The chosen region is a copy: a reload that changes its status keeps the old copy.
        service.enqueue(200, regionsJson({{"z", "soon"}}));
        QCoro::waitFor(model->loadRegions());
        QCOMPARE(model->selected()->status, QStringLiteral("online"));
        QCOMPARE(model->regions()[0].status, QStringLiteral("soon"));
    }

    void loadRegionsFailureKeepsListAndChoice()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.enqueue(200, regionsJson({{"a", "online"}, {"b", "online"}}));
        QCoro::waitFor(model->loadRegions());
        const QList<Region> before = model->regions();

        const QByteArray missingFlag = R"([{"id":"x","country":"C","city":"c","status":"online"}])";
        for (const FakeReply &failure : {FakeReply {500, R"({"message":"database down"})", {}},
                 FakeReply {200, missingFlag, {}}, FakeReply {200, "<html>", {}}}) {
            model->setErrorMsg(std::nullopt);
            service.enqueue(failure);
            QSignalSpy regionsSpy(model.get(), &AppModel::regionsChanged);
            QCoro::waitFor(model->loadRegions());
            QCOMPARE(model->errorMsg(), std::optional<QString>("could not load regions"));
            QCOMPARE(model->regions(), before);
            QCOMPARE(model->selected()->id, QStringLiteral("a"));
            QCOMPARE(regionsSpy.count(), 0);
        }
    }

    void modelGoneWhileTheListDecodes()
    {
        // A list long enough that the model can go while a worker thread decodes it.
        QList<std::pair<const char *, const char *>> many(100'000, {"r", "online"});
        FakeService service;
        service.enqueue(200, regionsJson(many));
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
            QCOMPARE(fileMode(file), 0600);
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
        QCOMPARE(reopened.value("cv_token"), std::optional<QString>("secret"));
        // Text survives as is, including an empty text and characters INI files treat specially.
        reopened.setValue("cv_exit", "");
        reopened.setValue("cv_email", "a=b;c,d#e\"f");
        DefaultsStore again(file);
        QCOMPARE(again.value("cv_exit"), std::optional<QString>(""));
        QCOMPARE(again.value("cv_email"), std::optional<QString>("a=b;c,d#e\"f"));
        QCOMPARE(fileMode(file), 0600);
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
