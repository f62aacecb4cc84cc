// connect, provisioning, the heartbeat, disconnect, toggle and the status refresh,
// against the scripted fake service and a fake sudo.

#include "AppModel.h"
#include "FakeProgram.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace corvanta;
using namespace corvanta::test;
using namespace std::chrono_literals;
using State = AppModel::ConnState;

namespace {

const QByteArray info
    = R"({"server":"A","controlPlane":"B","relay":"C","exitMeshIp":"D","coreIp":"E","joinCode":"F"})";
const QByteArray readyWithInfo = R"({"sessionId":"s-1","state":"ready","connectInfo":)" + info + "}";
const QByteArray provisioning = R"({"sessionId":"s-1","state":"provisioning"})";
const QByteArray statusReady = R"({"state":"ready","connectInfo":)" + info + "}";
const Region online {"de-fra", "Germany", "Frankfurt", "F", "online"};

// A model wired to a fake service, a fake sudo and an installed (fake) connect
// script, with millisecond timings.
struct Rig
{
    QTemporaryDir dir;
    FakeService service;
    FakeProgram sudo {dir.path(), "sudo"};
    FakeProgram prompt {dir.path(), "pkexec"};
    ModelMaker maker;
    std::unique_ptr<AppModel> model;
    QList<State> states;
    // In a folder of its own: the fakes' logs in `dir` must not look like the tunnel changing.
    QString pidFile = dir.filePath("run/tunnel.pid");

    explicit Rig(Timing timing = {5s, 1ms, 5s})
    {
        Paths paths;
        paths.sudo = sudo.path();
        paths.promptTool = prompt.path();
        paths.helper = sudo.path(); // any existing file: installed
        paths.installer = "/opt/corvanta/install-helper.sh";
        QDir(dir.path()).mkdir("run");
        paths.pidFile = pidFile;
        model = maker.make(service.base(), timing, paths);
        model->setToken("tok");
        model->setSelected(online);
        // Heartbeats and releases always succeed unless a test says otherwise.
        service.setHandler([](const RecordedRequest &r) -> std::optional<FakeReply> {
            if (r.target.endsWith("/heartbeat") || r.target.endsWith("/release"))
                return FakeReply {200, "{}", {}};
            return std::nullopt;
        });
        QObject::connect(model.get(), &AppModel::stateChanged, [this] { states.append(model->state()); });
    }

    void connectNow() { QCoro::waitFor(model->connect()); }
    std::optional<QString> storedExit() const { return DefaultsStore(maker.settingsFile()).value("cv_exit"); }
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    // Lets a heartbeat woken by its model's end finish, so nothing is left over.
    void cleanup() { QTest::qWait(10); }

    void readyAtOnceGoesStraightToTheScript()
    {
        Rig rig;
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();

        QCOMPARE(rig.states, (QList<State> {State::connecting, State::connected}));
        QCOMPARE(rig.service.requests().size(), 1);
        const auto ensure = rig.service.requests()[0];
        QCOMPARE(ensure.target, QByteArray("/api/regions/de-fra/ensure"));
        QCOMPARE(ensure.body, QByteArray(R"({"sessionId":""})"));
        QCOMPARE(ensure.header("authorization"), QByteArray("Bearer tok"));
        // up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE; coreIp is never passed.
        QCOMPARE(
            rig.sudo.calls(), (QList<QStringList> {{"-n", rig.sudo.path(), "up", "A", "D", "C", "F", "B"}}));
        QCOMPARE(rig.model->exitIP(), std::optional<QString>("A"));
        QCOMPARE(rig.storedExit(), std::optional<QString>("A"));
        QCOMPARE(rig.model->sessionId(), std::optional<QString>("s-1"));
        QVERIFY(!rig.model->busy());
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(rig.prompt.calls().isEmpty());
    }

    void pollsUntilReady()
    {
        Rig rig;
        rig.service.enqueue(200, R"({"state":"provisioning"})"); // no session id: none known yet
        rig.service.enqueue(200, R"({"state":"provisioning","etaSeconds":20})");
        rig.service.enqueue(200, R"({"state":"ready"})"); // ready without info: keep polling
        rig.service.enqueue(200, R"({"state":"Error"})"); // not exactly "error": keep polling
        rig.service.enqueue(200, statusReady);
        rig.connectNow();

        QCOMPARE(rig.states, (QList<State> {State::connecting, State::provisioning, State::connected}));
        const auto polls = rig.service.requestsTo("/status");
        QCOMPARE(polls.size(), 4);
        for (const auto &poll : polls) {
            QCOMPARE(poll.method, QByteArray("GET"));
            QCOMPARE(poll.target, QByteArray("/api/regions/de-fra/status?sessionId="));
            QCOMPARE(poll.header("authorization"), QByteArray("Bearer tok"));
        }
        QCOMPARE(rig.model->exitIP(), std::optional<QString>("A"));
    }

    void connectFailures_data()
    {
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<int>("sudoStatus");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("polls");
        QTest::newRow("ensure refused") << QList<QByteArray> {} << 0 << "request failed (503)" << 0;
        QTest::newRow("ready without info")
            << QList<QByteArray> {R"({"state":"ready"})"} << 0 << "no connection info" << 0;
        QTest::newRow("error at once")
            << QList<QByteArray> {provisioning, R"({"state":"error"})"} << 0 << "provisioning failed" << 1;
        QTest::newRow("ensure undecodable")
            << QList<QByteArray> {R"({"sessionId":"s"})"} << 0
            << "unexpected reply (EnsureResponse: missing key \"state\")" << 0;
        QTest::newRow("script fails") << QList<QByteArray> {readyWithInfo} << 1 << "tunnel busy" << 0;
    }

    void connectFailures()
    {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, sudoStatus);
        QFETCH(QString, text);
        QFETCH(int, polls);
        Rig rig;
        rig.service.setFallback({503, "", {}});
        for (const QByteArray &reply : replies)
            rig.service.enqueue(200, reply);
        rig.sudo.answer(sudoStatus, "tunnel busy\n");
        rig.model->setExitIP("old");

        rig.connectNow();

        QCOMPARE(rig.model->state(), State::failed);
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>(text));
        QVERIFY(!rig.model->busy());
        QCOMPARE(rig.service.requestsTo("/status").size(), polls);
        QCOMPARE(rig.model->exitIP(), std::optional<QString>("old")); // nothing undone or changed
        QVERIFY(rig.service.requestsTo("/release").isEmpty());
    }

    // A connect waiting on provisioning can be called off: nothing more is asked
    // and no tunnel is made, whatever arrives afterwards.
    void connectCanBeCalledOff()
    {
        Rig rig(Timing {5s, 50ms, 5s});
        rig.service.setFallback({200, R"({"state":"provisioning"})", {}});
        QCoro::Task<> connecting = rig.model->connect();
        QTRY_COMPARE(rig.model->state(), State::provisioning);
        QVERIFY(rig.model->connectCancellable());
        rig.model->cancelConnect();
        QCOMPARE(rig.model->state(), State::disconnected);
        QVERIFY(!rig.model->busy());
        QCoro::waitFor(std::move(connecting));
        const qsizetype asked = rig.service.requests().size();
        QTest::qWait(200);
        QCOMPARE(rig.service.requests().size(), asked);
        QCOMPARE(rig.model->state(), State::disconnected);
        QVERIFY(rig.sudo.calls().isEmpty() && !rig.model->errorMsg());
    }

    void pollingGivesUpAfterExactly45()
    {
        Rig rig;
        rig.service.enqueue(200, provisioning);
        rig.service.setFallback({200, R"({"state":"provisioning"})", {}});
        rig.connectNow();
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("provisioning timed out"));
        QCOMPARE(rig.service.requestsTo("/status").size(), 45);
        QCOMPARE(rig.service.requestsTo("/status").last().target,
            QByteArray("/api/regions/de-fra/status?sessionId=s-1"));
        QVERIFY(rig.sudo.calls().isEmpty());

        // The next attempt sends the session id learned before.
        rig.service.enqueue(200, R"({"state":"ready","connectInfo":)" + info + "}");
        rig.connectNow();
        QCOMPARE(rig.service.requestsTo("/ensure").last().body, QByteArray(R"({"sessionId":"s-1"})"));
        QCOMPARE(rig.model->state(), State::connected);
    }

    void connectNeedsAnOnlineRegion()
    {
        Rig rig;
        rig.model->setErrorMsg("keep me");
        rig.model->setSelected(std::nullopt);
        rig.connectNow();
        rig.model->setSelected(Region {"x", "X", "x", "F", "online "});
        rig.connectNow();
        rig.model->setSelected(Region {"x", "X", "x", "F", "Online"});
        rig.connectNow();
        QVERIFY(rig.states.isEmpty());
        QVERIFY(rig.service.requests().isEmpty());
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("keep me"));
        QVERIFY(!rig.model->busy());
    }

    void installerRunsWhenScriptMissing()
    {
        Rig rig;
        Paths paths;
        rig.prompt.answer(126, "Error executing command as another user: Request dismissed\n");
        rig.service.enqueue(200, readyWithInfo);
        // A model whose connect script is missing.
        paths.sudo = rig.sudo.path();
        paths.promptTool = rig.prompt.path();
        paths.helper = rig.dir.filePath("missing/cv-connect.sh");
        paths.installer = "/opt/corvanta/install-helper.sh";
        auto model = rig.maker.make(rig.service.base(), Timing {5s, 1ms, 5s}, paths);
        model->setSelected(online);
        QCoro::waitFor(model->connect());
        QCOMPARE(rig.prompt.calls(), (QList<QStringList> {{"/opt/corvanta/install-helper.sh"}}));
        QCOMPARE(model->errorMsg(), std::optional<QString>("setup cancelled"));
        QCOMPARE(model->state(), State::failed);
        QVERIFY(rig.sudo.calls().isEmpty());
    }

    void heartbeatEveryIntervalAndThroughFailures()
    {
        Rig rig(Timing {5s, 1ms, 150ms});
        rig.service.enqueue(200, readyWithInfo);
        rig.service.setHandler([](const RecordedRequest &r) -> std::optional<FakeReply> {
            if (r.target.endsWith("/heartbeat"))
                return FakeReply {500, R"({"message":"nope"})", {}};
            return std::nullopt;
        });
        rig.connectNow();
        const qint64 connectedAt = rig.service.requests().last().receivedMs;

        QTRY_VERIFY_WITH_TIMEOUT(rig.service.requestsTo("/heartbeat").size() >= 3, 10000);
        const auto beats = rig.service.requestsTo("/heartbeat");
        // Not before one interval has passed (timers never fire early by more than a little).
        QVERIFY2(beats[0].receivedMs - connectedAt >= 140,
            qPrintable(QString::number(beats[0].receivedMs - connectedAt)));
        QVERIFY(beats[1].receivedMs - beats[0].receivedMs >= 140);
        QCOMPARE(beats[0].target, QByteArray("/api/regions/de-fra/heartbeat"));
        QCOMPARE(beats[0].body, QByteArray(R"({"sessionId":"s-1"})"));
        QCOMPARE(beats[0].header("authorization"), QByteArray("Bearer tok"));
        QVERIFY(!rig.model->errorMsg()); // failures are silent
        QCOMPARE(rig.model->state(), State::connected);
    }

    void disconnectEndsHeartbeatWithOneLastBeat()
    {
        Rig rig(Timing {5s, 1ms, 5s});
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();
        QCoro::waitFor(rig.model->disconnect());
        QTest::qWait(200);
        // Cancelled during its wait: exactly one more beat, then nothing.
        QCOMPARE(rig.service.requestsTo("/heartbeat").size(), 1);
        const auto release = rig.service.requestsTo("/release");
        QCOMPARE(release.size(), 1);
        QCOMPARE(release[0].target, QByteArray("/api/regions/de-fra/release"));
        QCOMPARE(release[0].body, QByteArray(R"({"sessionId":"s-1"})"));
        QCOMPARE(rig.sudo.calls().last(), (QStringList {"-n", rig.sudo.path(), "down"}));
        QCOMPARE(rig.model->state(), State::disconnected);
        QVERIFY(!rig.model->exitIP());
        QCOMPARE(rig.storedExit(), std::nullopt);

        // Without a session id: no last beat and no release.
        Rig bare(Timing {5s, 1ms, 5s});
        bare.service.enqueue(200, R"({"state":"ready","connectInfo":)" + info + "}");
        bare.connectNow();
        QCOMPARE(bare.model->state(), State::connected);
        QCoro::waitFor(bare.model->disconnect());
        QTest::qWait(200);
        QVERIFY(bare.service.requestsTo("/heartbeat").isEmpty());
        QVERIFY(bare.service.requestsTo("/release").isEmpty());
    }

    void disconnectSwallowsFailures()
    {
        Rig rig;
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();
        rig.model->setErrorMsg("earlier");
        rig.sudo.answer(1, "sudo: a password is required\n");
        rig.service.setHandler({});
        rig.service.setFallback({500, "", {}});
        // The release goes to the region selected now, not the one connected to.
        rig.model->setSelected(Region {"jp-tyo", "Japan", "Tokyo", "F", "online"});
        QSignalSpy busy(rig.model.get(), &AppModel::busyChanged);

        QCoro::waitFor(rig.model->disconnect());

        QCOMPARE(rig.model->state(), State::disconnected);
        QVERIFY(!rig.model->busy());
        QCOMPARE(busy.count(), 2);
        QVERIFY(!rig.model->exitIP());
        QCOMPARE(rig.storedExit(), std::nullopt);
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("earlier"));
        QCOMPARE(
            rig.service.requestsTo("/release").value(0).target, QByteArray("/api/regions/jp-tyo/release"));
    }

    void toggleFollowsState()
    {
        Rig rig;
        rig.service.setFallback({200, readyWithInfo, {}});

        rig.model->setState(State::connecting);
        rig.model->toggle();
        QTest::qWait(50);
        QVERIFY(rig.service.requests().isEmpty());

        for (State from : {State::failed, State::disconnected, State::provisioning}) {
            rig.model->setState(from);
            rig.model->toggle(); // returns at once; the connect runs on
            QCOMPARE(rig.model->state(), State::connecting);
            QTRY_COMPARE(rig.model->state(), State::connected);
        }
        QCOMPARE(rig.service.requestsTo("/ensure").size(), 3);

        rig.model->toggle();
        QTRY_COMPARE(rig.model->state(), State::disconnected);
        QCOMPARE(rig.sudo.calls().last().last(), QStringLiteral("down"));
    }

    void refreshStatusFollowsPidFile()
    {
        Rig rig;
        const QString pidFile = rig.pidFile;
        rig.model->setExitIP("A");
        rig.model->setBusy(true);

        rig.model->setState(State::failed);
        rig.model->refreshStatus(); // no file: failed stays
        QCOMPARE(rig.model->state(), State::failed);

        FakeTunnel tunnel;
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(tunnel.pid() + "\n");
        file.close();
        for (State from : {State::disconnected, State::connecting, State::provisioning, State::failed}) {
            rig.model->setState(from);
            rig.model->refreshStatus();
            QCOMPARE(rig.model->state(), State::connected);
        }

        QVERIFY(QFile::remove(pidFile));
        rig.model->refreshStatus();
        QCOMPARE(rig.model->state(), State::disconnected);
        // Only the state changes.
        QCOMPARE(rig.model->exitIP(), std::optional<QString>("A"));
        QVERIFY(rig.model->busy());
        QVERIFY(rig.service.requests().isEmpty());
    }

    // While connected, the tunnel's end is noticed by itself, and said once.
    void noticesTheTunnelGoing_data()
    {
        QTest::addColumn<bool>("processEnds"); // or else its file goes
        QTest::newRow("process ends") << true;
        QTest::newRow("file removed") << false;
    }
    void noticesTheTunnelGoing()
    {
        QFETCH(bool, processEnds);
        Rig rig;
        FakeTunnel tunnel;
        QFile file(rig.pidFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(tunnel.pid());
        file.close();
        rig.model->refreshStatus();
        QCOMPARE(rig.model->state(), State::connected);
        QSignalSpy lost(rig.model.get(), &AppModel::connectionLost);

        if (processEnds)
            tunnel.end();
        else
            QVERIFY(file.remove());
        QTRY_COMPARE_WITH_TIMEOUT(rig.model->state(), State::disconnected, 5000);
        QCOMPARE(lost.count(), 1);
        QVERIFY(rig.model->errorMsg()->contains("no longer protected"));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
