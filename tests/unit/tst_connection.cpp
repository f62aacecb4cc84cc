// The connection against a scripted fake service, a fake sudo and a fake prompt. That the
// real service accepts each request is proved end to end (tst_tunnel_e2e).

#include "AppModel.h"
#include "FakeProgram.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <fstream>

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
const Region online {"de-fra", "Germany", "Frankfurt", "F", "online"};

// A model wired to the fakes, with millisecond timings. Its connect script is missing: each
// connect first runs the installer. Heartbeats and releases fail unless scripted.
struct Rig
{
    QTemporaryDir dir;
    FakeService service;
    FakeProgram sudo {dir.path(), "sudo"};
    FakeProgram prompt {dir.path(), "pkexec"};
    QTemporaryDir run; // apart: the fakes' logs in `dir` must not look like the tunnel changing
    QString pidFile = run.filePath("tunnel.pid");
    ModelMaker maker;
    std::unique_ptr<AppModel> model;
    QList<State> states;

    explicit Rig(Timing timing = {5s, 1ms, 5s})
    {
        model = maker.make(service.base(), timing,
            {sudo.path(), dir.filePath("cv-connect.sh"), "/opt/install-helper.sh", prompt.path(), pidFile});
        model->setToken("tok");
        model->setSelected(online);
        QObject::connect(model.get(), &AppModel::stateChanged, [this] { states.append(model->state()); });
    }

    void connectNow() { QCoro::waitFor(model->connect()); }
    std::optional<QString> storedExit() const { return DefaultsStore(maker.settingsFile()).value("cv_exit"); }
    qsizetype count(const char *path) const { return service.requestsTo(path).size(); }
    void writePid(const QByteArray &pid) const { std::ofstream(pidFile.toStdString()) << pid.constData(); }
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    // Lets a heartbeat woken by its model's end finish, so nothing is left over.
    void cleanup() { QTest::qWait(10); }

    void connects_data()
    {
        QTest::addColumn<Replies>("replies");
        QTest::addColumn<QString>("error"); // none: connected
        QTest::addColumn<int>("promptStatus");
        QTest::addColumn<int>("sudoStatus");
        const auto row
            = [](const char *name, const Replies &replies, const char *error = "", int prompt = 0,
                  int sudo = 0) { QTest::newRow(name) << replies << QString(error) << prompt << sudo; };
        row("ready at once", {readyWithInfo});
        // Ready without info, or "Error" (not "error"): polling goes on.
        row("ready after polls",
            {R"({"sessionId":"s-1","state":"provisioning"})", provisioning, R"({"state":"ready"})",
                R"({"state":"Error"})", statusReady});
        row("no session", {statusReady});
        row("ensure refused", {}, "request failed (503)");
        row("ready without info", {R"({"state":"ready"})"}, "no connection info");
        row("error", {provisioning, R"({"state":"error"})"}, "provisioning failed");
        row("ensure undecodable", {R"({"sessionId":"s"})"},
            "unexpected reply (EnsureResponse: missing key \"state\")");
        row("setup dismissed", {readyWithInfo}, "setup cancelled", 126);
        row("script fails", {readyWithInfo}, "tunnel busy", 0, 1);
        row("45 polls", Replies(46, provisioning), "provisioning timed out");
    }

    void connects()
    {
        QFETCH(Replies, replies);
        QFETCH(QString, error);
        QFETCH(int, promptStatus);
        QFETCH(int, sudoStatus);
        Rig rig;
        rig.service.setFallback({503, "", {}});
        for (const QByteArray &reply : replies)
            rig.service.enqueue(200, reply);
        rig.prompt.answer(promptStatus, "Error executing command as another user: Request dismissed\n");
        rig.sudo.answer(sudoStatus, "tunnel busy\n");
        rig.model->setErrorMsg("earlier");
        rig.model->setExitIP("old");
        rig.connectNow();

        const QString session = replies.value(0).contains("s-1") ? "s-1" : "";
        const auto polls = rig.service.requestsTo("/status");
        QCOMPARE(polls.size(), qMax(replies.size() - 1, 0)); // no more than needed
        for (const RecordedRequest &poll : polls)
            QCOMPARE(poll.method + ' ' + poll.target + ' ' + poll.header("authorization"),
                "GET /api/regions/de-fra/status?sessionId=" + session.toUtf8() + " Bearer tok");
        QVERIFY(!rig.model->busy() && !rig.model->connectCancellable());
        if (!error.isEmpty()) {
            QCOMPARE(rig.model->state(), State::failed);
            QCOMPARE(rig.model->errorMsg(), std::optional(error));
            QVERIFY(rig.model->exitIP() == "old" && rig.count("/release") == 0); // nothing undone or changed
            return;
        }
        QList<State> states {State::connecting, State::connected};
        if (!polls.isEmpty())
            states.insert(1, State::provisioning);
        QCOMPARE(rig.states, states);
        QCOMPARE(rig.model->sessionId(), session.isEmpty() ? std::nullopt : std::optional(session));
        QVERIFY(!rig.model->errorMsg() && rig.model->exitIP() == "A" && rig.storedExit() == "A");
        QCOMPARE(rig.prompt.calls(), (QList<QStringList> {{"/opt/install-helper.sh"}}));

        QSignalSpy busy(rig.model.get(), &AppModel::busyChanged);
        QCoro::waitFor(rig.model->disconnect());
        QTest::qWait(100);
        QCOMPARE(busy.count(), 2);
        // The heartbeat, cancelled in its wait, beats once more while the session is known.
        QCOMPARE(rig.count("/heartbeat"), session.isEmpty() ? 0 : 1);
        QCOMPARE(rig.count("/release"), session.isEmpty() ? 0 : 1);
        // The script's order: up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE; coreIp is never passed.
        const QString helper = rig.dir.filePath("cv-connect.sh");
        QCOMPARE(rig.sudo.calls(),
            (QList<QStringList> {{"-n", helper, "up", "A", "D", "C", "F", "B"}, {"-n", helper, "down"}}));
        QVERIFY(rig.states.last() == State::disconnected && !rig.model->exitIP() && !rig.storedExit());
    }

    // Called off while provisioning: nothing more is asked and no tunnel is made.
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
        QVERIFY(
            rig.states.last() == State::disconnected && rig.sudo.calls().isEmpty() && !rig.model->errorMsg());
    }

    // Beats come an interval apart (timers never fire early by much), failed ones unnoticed.
    void heartbeatKeepsTime()
    {
        Rig rig(Timing {5s, 1ms, 150ms});
        rig.service.enqueue(200, readyWithInfo);
        rig.connectNow();
        const qint64 connectedAt = rig.service.requests().last().receivedMs;
        QTRY_VERIFY_WITH_TIMEOUT(rig.count("/heartbeat") >= 3, 10000);
        const auto beats = rig.service.requestsTo("/heartbeat");
        QVERIFY(beats[0].receivedMs - connectedAt >= 140 && beats[1].receivedMs - beats[0].receivedMs >= 140);
        QVERIFY(rig.model->state() == State::connected && !rig.model->errorMsg());
    }

    void toggleFollowsState()
    {
        Rig rig;
        rig.service.setFallback({200, readyWithInfo, {}});
        // Nothing without an online region, nor while connecting.
        for (const auto &region :
            {std::optional<Region>(), std::optional(Region {"x", "X", "x", "F", "Online"})}) {
            rig.model->setSelected(region);
            rig.model->toggle();
        }
        rig.model->setSelected(online);
        rig.model->setState(State::connecting);
        rig.model->toggle();
        QTest::qWait(50);
        QVERIFY(rig.service.requests().isEmpty() && rig.states == QList {State::connecting});

        for (State from : {State::failed, State::disconnected, State::provisioning}) {
            rig.model->setState(from);
            rig.model->toggle(); // returns at once; the connect runs on
            QCOMPARE(rig.model->state(), State::connecting);
            QTRY_COMPARE(rig.model->state(), State::connected);
        }
        // A later attempt sends the session id learned before.
        QCOMPARE(rig.service.requestsTo("/ensure").last().body, QByteArray(R"({"sessionId":"s-1"})"));

        // A disconnect that fails on every side still ends disconnected.
        rig.sudo.answer(1, "sudo: a password is required\n");
        rig.service.setFallback({500, "", {}});
        rig.model->toggle();
        QTRY_COMPARE(rig.model->state(), State::disconnected);
        QCOMPARE(rig.sudo.calls().last().last(), QStringLiteral("down"));
        QVERIFY(!rig.model->busy() && !rig.model->exitIP() && !rig.model->errorMsg());
        // Each new connection, and the disconnect, ended the heartbeat before with a last beat.
        QTRY_COMPARE(rig.count("/heartbeat"), 3);
    }

    // The state follows the tunnel; its end is noticed by itself (from its process, its file,
    // or the process of the one that replaced it) and said once.
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
        FakeTunnel tunnel, successor;
        for (State from :
            {State::failed, State::disconnected, State::connecting, State::provisioning, State::failed}) {
            rig.model->setState(from);
            rig.model->refreshStatus();
            QCOMPARE(rig.model->state(), QFile::exists(rig.pidFile) ? State::connected : from);
            rig.writePid(tunnel.pid() + "\n");
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
            QCOMPARE(rig.model->state(), State::connected); // the process is watched
        }
        QCOMPARE(QDir("/proc/self/fd").count(), before);
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
