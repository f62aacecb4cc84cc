// Connecting, provisioning, the heartbeat, disconnecting, toggling and the status
// refresh, against the scripted fake service, a fake sudo and a fake prompt. What the
// real service checks of each request is proved end to end (tst_tunnel_e2e).

#include "AppModel.h"
#include "FakeProgram.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using namespace std::chrono_literals;
using State = AppModel::ConnState;
using Replies = QList<QByteArray>;

namespace {

const QByteArray info
    = R"({"server":"A","controlPlane":"B","relay":"C","exitMeshIp":"D","coreIp":"E","joinCode":"F"})";
const QByteArray readyWithInfo = R"({"sessionId":"s-1","state":"ready","connectInfo":)" + info + "}";
const QByteArray statusReady = R"({"state":"ready","connectInfo":)" + info + "}";
const QByteArray provisioning = R"({"state":"provisioning"})";

// A model wired to the fakes, with millisecond timings. Its connect script is missing,
// so each connect first runs the installer, which succeeds unless told otherwise.
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
        QDir(dir.path()).mkdir("run");
        model = maker.make(service.base(), timing,
            {.sudo = sudo.path(),
                .helper = dir.filePath("cv-connect.sh"),
                .installer = "/opt/install-helper.sh",
                .promptTool = prompt.path(),
                .pidFile = pidFile});
        model->setToken("tok");
        model->setSelected(Region {"de-fra", "Germany", "Frankfurt", "F", "online"});
        // Heartbeats fail (which must go unnoticed); releases succeed.
        service.setHandler([](const RecordedRequest &r) -> std::optional<FakeReply> {
            if (r.target.endsWith("/heartbeat") || r.target.endsWith("/release"))
                return FakeReply {r.target.endsWith("/release") ? 200 : 500, "{}", {}};
            return std::nullopt;
        });
        QObject::connect(model.get(), &AppModel::stateChanged, [this] { states.append(model->state()); });
    }

    void connectNow() { QCoro::waitFor(model->connect()); }
    std::optional<QString> storedExit() const { return DefaultsStore(maker.settingsFile()).value("cv_exit"); }
    qsizetype count(const char *path) const { return service.requestsTo(path).size(); }
    void writePid(const QByteArray &pid) const
    {
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pid) == pid.size());
    }
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    // Lets a heartbeat woken by its model's end finish, so nothing is left over.
    void cleanup() { QTest::qWait(10); }

    void connectsAndDisconnects_data()
    {
        QTest::addColumn<Replies>("replies");
        QTest::addColumn<QString>("session"); // empty: none given
        QTest::addColumn<QList<State>>("states");
        const QList<State> direct {State::connecting, State::connected};
        QTest::newRow("ready at once") << Replies {readyWithInfo} << "s-1" << direct;
        // Ready without info, or "Error" (not "error"): polling goes on.
        QTest::newRow("ready after polls") << Replies {R"({"sessionId":"s-1","state":"provisioning"})",
            provisioning, R"({"state":"ready"})", R"({"state":"Error"})",
            statusReady} << "s-1" << QList<State> {State::connecting, State::provisioning, State::connected};
        QTest::newRow("no session") << Replies {statusReady} << "" << direct;
    }

    void connectsAndDisconnects()
    {
        QFETCH(Replies, replies);
        QFETCH(QString, session);
        QFETCH(QList<State>, states);
        Rig rig;
        for (const QByteArray &reply : replies)
            rig.service.enqueue(200, reply);
        rig.model->setErrorMsg("earlier");
        rig.connectNow();

        QCOMPARE(rig.states, states);
        QVERIFY(!rig.model->errorMsg() && !rig.model->busy());
        QCOMPARE(rig.model->sessionId(), session.isEmpty() ? std::nullopt : std::optional(session));
        QVERIFY(rig.model->exitIP() == "A" && rig.storedExit() == "A");
        QCOMPARE(rig.prompt.calls(), (QList<QStringList> {{"/opt/install-helper.sh"}}));
        const auto polls = rig.service.requestsTo("/status");
        QCOMPARE(polls.size(), replies.size() - 1);
        for (const RecordedRequest &poll : polls)
            QCOMPARE(poll.method + ' ' + poll.target + ' ' + poll.header("authorization"),
                "GET /api/regions/de-fra/status?sessionId=" + session.toUtf8() + " Bearer tok");

        QCoro::waitFor(rig.model->disconnect());
        QTest::qWait(100);
        // The heartbeat, cancelled in its wait, beats once more while the session is known.
        QCOMPARE(rig.count("/heartbeat"), session.isEmpty() ? 0 : 1);
        QCOMPARE(rig.count("/release"), session.isEmpty() ? 0 : 1);
        // The script's order: up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE; coreIp is never passed.
        const QString helper = rig.dir.filePath("cv-connect.sh");
        QCOMPARE(rig.sudo.calls(),
            (QList<QStringList> {{"-n", helper, "up", "A", "D", "C", "F", "B"}, {"-n", helper, "down"}}));
        QCOMPARE(rig.states.last(), State::disconnected);
        QVERIFY(!rig.model->exitIP() && !rig.storedExit() && !rig.model->busy());
    }

    void connectFailures_data()
    {
        QTest::addColumn<Replies>("replies");
        QTest::addColumn<int>("promptStatus");
        QTest::addColumn<int>("sudoStatus");
        QTest::addColumn<QString>("text");
        QTest::newRow("ensure refused") << Replies {} << 0 << 0 << "request failed (503)";
        QTest::newRow("ready without info")
            << Replies {R"({"state":"ready"})"} << 0 << 0 << "no connection info";
        QTest::newRow("error") << Replies {provisioning, R"({"state":"error"})"} << 0 << 0
                               << "provisioning failed";
        QTest::newRow("ensure undecodable") << Replies {R"({"sessionId":"s"})"} << 0 << 0
                                            << "unexpected reply (EnsureResponse: missing key \"state\")";
        QTest::newRow("setup dismissed") << Replies {readyWithInfo} << 126 << 0 << "setup cancelled";
        QTest::newRow("script fails") << Replies {readyWithInfo} << 0 << 1 << "tunnel busy";
        QTest::newRow("45 polls") << Replies(46, provisioning) << 0 << 0 << "provisioning timed out";
    }

    void connectFailures()
    {
        QFETCH(Replies, replies);
        QFETCH(int, promptStatus);
        QFETCH(int, sudoStatus);
        QFETCH(QString, text);
        Rig rig;
        rig.service.setFallback({503, "", {}});
        for (const QByteArray &reply : replies)
            rig.service.enqueue(200, reply);
        rig.prompt.answer(promptStatus, "Error executing command as another user: Request dismissed\n");
        rig.sudo.answer(sudoStatus, "tunnel busy\n");
        rig.model->setExitIP("old");
        rig.connectNow();

        QCOMPARE(rig.model->state(), State::failed);
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>(text));
        QVERIFY(!rig.model->busy() && !rig.model->connectCancellable());
        QCOMPARE(rig.count("/status"), qMax(replies.size() - 1, 0)); // no more polls than needed
        QCOMPARE(rig.model->exitIP(), std::optional<QString>("old")); // nothing undone or changed
        QCOMPARE(rig.count("/release"), 0);
    }

    // A connect waiting on provisioning can be called off: nothing more is asked
    // and no tunnel is made, whatever arrives afterwards.
    void connectCanBeCalledOff()
    {
        Rig rig(Timing {5s, 50ms, 5s});
        rig.service.setFallback({200, provisioning, {}});
        QCoro::Task<> connecting = rig.model->connect();
        QTRY_COMPARE(rig.model->state(), State::provisioning);
        QVERIFY(rig.model->connectCancellable() && rig.model->busy());
        rig.model->cancelConnect();
        QCOMPARE(rig.model->state(), State::disconnected);
        QVERIFY(!rig.model->busy() && !rig.model->connectCancellable());
        QCoro::waitFor(std::move(connecting));
        const qsizetype asked = rig.service.requests().size();
        QTest::qWait(200);
        QCOMPARE(rig.service.requests().size(), asked);
        QCOMPARE(rig.states.last(), State::disconnected);
        QVERIFY(rig.sudo.calls().isEmpty() && !rig.model->errorMsg());
    }

    // Failed beats go unnoticed; a disconnect that fails on every side still ends disconnected.
    void failuresAfterConnectingAreSilent()
    {
        Rig rig(Timing {5s, 1ms, 150ms});
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();
        const qint64 connectedAt = rig.service.requests().last().receivedMs;
        QTRY_VERIFY_WITH_TIMEOUT(rig.count("/heartbeat") >= 3, 10000);
        const auto beats = rig.service.requestsTo("/heartbeat");
        // An interval apart (timers never fire early by more than a little).
        QVERIFY(beats[0].receivedMs - connectedAt >= 140 && beats[1].receivedMs - beats[0].receivedMs >= 140);
        QVERIFY(rig.model->state() == State::connected && !rig.model->errorMsg());

        rig.model->setErrorMsg("earlier");
        rig.sudo.answer(1, "sudo: a password is required\n");
        rig.service.setHandler({});
        rig.service.setFallback({500, "", {}});
        // The release goes to the region selected now, not the one connected to.
        rig.model->setSelected(Region {"jp-tyo", "Japan", "Tokyo", "F", "online"});
        QSignalSpy busy(rig.model.get(), &AppModel::busyChanged);
        QCoro::waitFor(rig.model->disconnect());
        QCOMPARE(rig.model->state(), State::disconnected);
        QCOMPARE(busy.count(), 2);
        QVERIFY(!rig.model->busy() && !rig.model->exitIP() && !rig.storedExit());
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("earlier"));
        QCOMPARE(rig.count("/api/regions/jp-tyo/release"), 1);
    }

    void toggleFollowsState()
    {
        Rig rig;
        rig.service.setFallback({200, readyWithInfo, {}});
        rig.model->setState(State::connecting);
        rig.model->toggle();
        // Without an online region, nothing either.
        rig.model->setState(State::disconnected);
        rig.model->setSelected(std::nullopt);
        rig.model->toggle();
        rig.model->setSelected(Region {"de-fra", "Germany", "Frankfurt", "F", "Online"});
        rig.model->toggle();
        QTest::qWait(50);
        QVERIFY(rig.service.requests().isEmpty());
        QCOMPARE(rig.model->state(), State::disconnected);

        rig.model->setSelected(Region {"de-fra", "Germany", "Frankfurt", "F", "online"});
        for (State from : {State::failed, State::disconnected, State::provisioning}) {
            rig.model->setState(from);
            rig.model->toggle(); // returns at once; the connect runs on
            QCOMPARE(rig.model->state(), State::connecting);
            QTRY_COMPARE(rig.model->state(), State::connected);
        }
        // A later attempt sends the session id learned before.
        QCOMPARE(rig.service.requestsTo("/ensure").last().body, QByteArray(R"({"sessionId":"s-1"})"));
        rig.model->cancelConnect(); // too late: the tunnel is made
        QCOMPARE(rig.model->state(), State::connected);

        rig.model->toggle();
        QTRY_COMPARE(rig.model->state(), State::disconnected);
        QCOMPARE(rig.sudo.calls().last().last(), QStringLiteral("down"));
        // Each new connection, and the disconnect, ended the heartbeat before with a last beat.
        QTRY_COMPARE(rig.count("/heartbeat"), 3);
    }

    // The state follows the tunnel. While connected, its end is noticed by itself (from its
    // process, its file, or the process of the one that replaced it) and said once.
    void followsTheTunnel_data()
    {
        QTest::addColumn<QString>("ending");
        for (const char *ending : {"process ends", "file removed", "successor ends"})
            QTest::newRow(ending) << ending;
    }

    void followsTheTunnel()
    {
        QFETCH(QString, ending);
        Rig rig;
        rig.model->setState(State::failed);
        rig.model->refreshStatus(); // no file: failed stays
        QCOMPARE(rig.model->state(), State::failed);

        FakeTunnel tunnel, successor;
        rig.writePid(tunnel.pid() + "\n");
        for (State from : {State::disconnected, State::connecting, State::provisioning, State::failed}) {
            rig.model->setState(from);
            rig.model->refreshStatus();
            QCOMPARE(rig.model->state(), State::connected);
        }
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();
        rig.model->refreshStatus();
        QVERIFY(rig.model->state() == State::connected && !rig.model->errorMsg());

        QSignalSpy lost(rig.model.get(), &AppModel::connectionLost);
        if (ending == "successor ends") {
            rig.writePid(successor.pid());
            tunnel.end();
            QTest::qWait(300);
            QCOMPARE(rig.model->state(), State::connected);
        }
        if (ending == "file removed")
            QVERIFY(QFile::remove(rig.pidFile));
        else
            (ending == "process ends" ? tunnel : successor).end();
        QTRY_COMPARE_WITH_TIMEOUT(rig.model->state(), State::disconnected, 5000);
        QCOMPARE(lost.count(), 1);
        QVERIFY(rig.model->errorMsg().value_or("").contains("no longer protected"));
        // No server to keep alive any more: the heartbeat's last beat, and no release.
        QTRY_COMPARE(rig.count("/heartbeat"), 1);
        QCOMPARE(rig.count("/release"), 0);
    }

    // A model that goes while watching a tunnel leaves no descriptor open.
    void watchingLeavesNothingOpen()
    {
        FakeTunnel tunnel;
        qsizetype before = 0;
        for (int round = 0; round < 2; ++round) { // the first opens what stays open for good
            before = QDir("/proc/self/fd").count();
            Rig rig;
            rig.writePid(tunnel.pid());
            rig.model->refreshStatus();
            QCOMPARE(rig.model->state(), State::connected);
        }
        QCOMPARE(QDir("/proc/self/fd").count(), before);
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
