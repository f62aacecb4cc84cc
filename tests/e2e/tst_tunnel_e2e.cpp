// The real tunnel: the model connects through the real connect script and agent to
// the substitute service's exit node. Runs inside the client namespace that
// tunnel_e2e.sh makes (see there); the service's address comes in CV_TEST_API.

#include "AppModel.h"
#include "FakeService.h"
#include "HttpClient.h"
#include "TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using namespace std::chrono_literals;

namespace {

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

QString serviceLog()
{
    QFile log(env("CV_TEST_SERVICE_LOG"));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

QByteArray shell(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(30'000);
    return process.readAllStandardOutput() + process.readAllStandardError();
}

// What the tunnel may change and must put back: addresses, routes, rules, firewall.
QStringList networkState()
{
    const QByteArray all = shell("ip", {"addr"}) + shell("ip", {"route", "show", "table", "all"})
        + shell("ip", {"rule"}) + shell("ip", {"-6", "rule"}) + shell("nft", {"list", "ruleset"});
    return QString::fromUtf8(all).split('\n');
}

// The lines of one state that the other lacks, for a readable failure.
QString difference(const QStringList &a, const QStringList &b)
{
    QStringList lines;
    for (const QString &line : a)
        if (!b.contains(line))
            lines.append("- " + line);
    for (const QString &line : b)
        if (!a.contains(line))
            lines.append("+ " + line);
    return lines.join('\n');
}

// The echo behind the exit answers with the address it saw us come from.
QString echoedAddress()
{
    const auto reply
        = QCoro::waitFor(http::exchange({QUrl("http://198.18.0.1/"), "GET", {}, {}}, {4096, 5s, 10s}, qApp));
    return QJsonDocument::fromJson(reply.body).object().value("yourAddress").toString();
}

} // namespace

class TestTunnelEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QStringList m_before;

    std::unique_ptr<AppModel> makeModel(ModelMaker &maker)
    {
        Paths paths;
        paths.sudo = m_dir.filePath("sudo");
        paths.helper = CONNECT_SCRIPT;
        paths.pidFile = m_dir.filePath("state/corvanta-app.pid");
        auto model = maker.make(env("CV_TEST_API"), Timing {10s, 100ms, 300ms}, paths);
        const auto token = QRegularExpression("token (\\S+)").match(serviceLog()).captured(1);
        model->setToken(token);
        QCoro::waitFor(model->loadRegions());
        return model;
    }

    void disconnectLeavingNothing(AppModel &model)
    {
        QCoro::waitFor(model.disconnect());
        QCOMPARE(model.state(), AppModel::ConnState::disconnected);
        QCOMPARE(model.errorMsg(), std::nullopt); // a disconnect is no lost connection
        QVERIFY(!QFile::exists(m_dir.filePath("state/corvanta-app.pid")));
        QVERIFY2(networkState() == m_before, qPrintable(difference(m_before, networkState())));
    }

    // Runs the connect script by hand; returns its exit status and what it said.
    QPair<int, QString> up(const QStringList &args)
    {
        QProcess script; // the event loop runs meanwhile: a fake control plane may answer
        script.start(CONNECT_SCRIPT, QStringList {"up"} + args);
        [[maybe_unused]] const bool ended
            = QTest::qWaitFor([&] { return script.state() == QProcess::NotRunning; }, 60'000);
        return {script.exitCode(), QString::fromUtf8(script.readAllStandardError()).trimmed()};
    }

private slots:
    // A failed test leaves no tunnel to the next.
    void cleanup() { QProcess::execute(CONNECT_SCRIPT, {"down"}); }

    void initTestCase()
    {
        QVERIFY2(!env("CV_TEST_API").isEmpty(), "run through tunnel_e2e.sh, which makes the namespaces");
        qputenv("CV_PID_FILE", m_dir.filePath("state/corvanta-app.pid").toUtf8());
        qputenv("CV_AGENT", AGENT_PATH);
        // sudo without a password prompt: drop "-n" and run the script directly.
        QFile fake(m_dir.filePath("sudo"));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/bash\nshift\nexec \"$@\"\n");
        fake.close();
        fake.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        m_before = networkState();
    }

    // Connect: a full tunnel. Traffic to an address that exists only behind the
    // exit arrives there from our mesh address, and the wire sees only WireGuard.
    void everythingGoesThroughTheTunnel()
    {
        ModelMaker maker;
        auto model = makeModel(maker);
        QCoro::waitFor(model->connect());
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or(QString())));
        QCOMPARE(model->state(), AppModel::ConnState::connected);

        QProcess capture;
        // (Link housekeeping aside: ARP and IPv6 neighbour and listener messages.)
        capture.start("tcpdump",
            {"-i", env("CV_TEST_LINK"), "-n", "-l", "-q",
                "not arp and not (ip6 and (src net fe80::/10 or dst net ff00::/8))"});
        QVERIFY(capture.waitForStarted());
        QTest::qWait(1000); // until it listens
        const QString meshIp = QRegularExpression("inet (100\\.96\\.0\\.\\d+)")
                                   .match(shell("ip", {"addr", "show", "cv0"}))
                                   .captured(1);
        QVERIFY(!meshIp.isEmpty());
        QCOMPARE(echoedAddress(), meshIp);
        const qsizetype beats = serviceLog().count("/heartbeat -> 200");
        QTRY_VERIFY_WITH_TIMEOUT(
            serviceLog().count("/heartbeat -> 200") > beats, 5000); // forwarded by the exit
        capture.terminate();
        capture.waitForFinished();
        const QStringList packets
            = QString::fromUtf8(capture.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(!packets.isEmpty());
        for (const QString &packet : packets)
            QVERIFY2(packet.contains(".51820: UDP") || packet.contains(".51820 > "), qPrintable(packet));

        disconnectLeavingNothing(*model);
        QTRY_VERIFY_WITH_TIMEOUT(serviceLog().contains("/release -> 200"), 5000);
    }

    // With the exit's own port blocked on the way, the agent goes through the relay.
    void theRelayStandsIn()
    {
        const QString ns = env("CV_TEST_SERVICE_NS");
        const QStringList nft {"netns", "exec", ns, "nft"};
        shell("ip", nft + QStringList {"add table inet cvtest"});
        shell("ip",
            nft + QStringList {"add chain inet cvtest forward { type filter hook forward priority 0; }"});
        shell("ip", nft + QStringList {"add rule inet cvtest forward udp dport 51820 drop"});
        const auto unblock
            = qScopeGuard([&] { shell("ip", nft + QStringList {"delete table inet cvtest"}); });

        ModelMaker maker;
        auto model = makeModel(maker);
        QCoro::waitFor(model->connect());
        QVERIFY2(!model->errorMsg(), qPrintable(model->errorMsg().value_or(QString())));
        QCOMPARE(model->state(), AppModel::ConnState::connected);
        QVERIFY(shell("wg", {"show", "cv0", "endpoints"}).contains(":51821"));
        QVERIFY(!echoedAddress().isEmpty());
        disconnectLeavingNothing(*model);
    }

    // The agent stopped by someone else, or WireGuard itself gone: the client
    // notices and nothing is left.
    void aTunnelEndingOnItsOwnIsNoticed_data()
    {
        QTest::addColumn<QStringList>("kill");
        QTest::newRow("agent stopped") << QStringList {"-TERM", "-f", "^" AGENT_PATH};
        QTest::newRow("wireguard-go gone") << QStringList {"-KILL", "-f", "^wireguard-go cv0"};
    }

    void aTunnelEndingOnItsOwnIsNoticed()
    {
        QFETCH(QStringList, kill);
        ModelMaker maker;
        auto model = makeModel(maker);
        QCoro::waitFor(model->connect());
        QCOMPARE(model->state(), AppModel::ConnState::connected);
        QProcess::execute("pkill", kill);
        QTRY_COMPARE_WITH_TIMEOUT(model->state(), AppModel::ConnState::disconnected, 10000);
        QVERIFY(model->errorMsg() && model->errorMsg()->contains("lost"));
        QTRY_VERIFY(!QFile::exists(m_dir.filePath("state/corvanta-app.pid")));
        QVERIFY2(networkState() == m_before, qPrintable(difference(m_before, networkState())));
    }

    // A connection that cannot be made ends with one line and leaves nothing.
    void failuresLeaveNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        const QString control = env("CV_TEST_API") + "/mesh";
        QTest::newRow("unknown join code") << QStringList {"10.231.0.2", "100.96.0.1", "10.231.0.1:51821",
            "nobody-gave-this", control} << "cv-connect: unknown join code";
        // A hostile control plane tries to add a line of its own to the root configuration.
        QTest::newRow("control plane answers garbage")
            << QStringList {"10.231.0.2", "100.96.0.1", "10.231.0.1:51821", "code", "fake"}
            << "cv-connect: unexpected reply (MeshJoin: key \"meshIp\" must be an IP address)";
        QTest::newRow("dead exit node")
            << QStringList {"10.230.0.1", "100.96.0.1", "10.230.0.1:9", "", control} << "";
    }

    void failuresLeaveNothing()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        FakeService fake;
        fake.setFallback(
            {200, R"({"meshIp":"100.96.0.9/32\nPostUp = touch /evil","exitPublicKey":"x"})", {}});
        if (args[4] == "fake")
            args[4] = fake.base();
        if (args[3].isEmpty()) {
            // A real join code, then an exit that never answers.
            ModelMaker maker;
            auto model = makeModel(maker);
            const auto ensured = QCoro::waitFor(model->post<EnsureResponse>(
                "/api/regions/" + model->selected()->id + "/ensure", {{"sessionId", ""}}, true));
            QVERIFY(ensured.connectInfo);
            args[3] = ensured.connectInfo->joinCode;
            reason = "cv-connect: no handshake with the exit node over 10.230.0.1:51820 or the relay "
                     "10.230.0.1:9";
        }
        const auto [status, said] = up(args);
        QVERIFY(status != 0);
        QCOMPARE(said, reason);
        QVERIFY(!QFile::exists(m_dir.filePath("state/corvanta-app.pid")));
        QVERIFY2(networkState() == m_before, qPrintable(difference(m_before, networkState())));
    }
};

QTEST_GUILESS_MAIN(TestTunnelEndToEnd)
#include "tst_tunnel_e2e.moc"
