// The real tunnel: the model connects through the real connect script and agent to the
// substitute service's exit node, in the client namespace that tunnel_e2e.sh makes. The
// service checks each request: a heartbeat or release it logs with 200 was right.

#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using namespace std::chrono_literals;
using State = AppModel::ConnState;

namespace {
QByteArray sh(const QString &command)
{
    QProcess process;
    process.start("bash", {"-c", command});
    process.waitForFinished(30'000);
    return process.readAllStandardOutput() + process.readAllStandardError();
}

// What the tunnel may change and must put back: addresses, routes, rules, firewall.
QStringList network()
{
    return QString(sh("ip addr; ip route show table all; ip rule; ip -6 rule; nft list ruleset")).split('\n');
}
} // namespace

class TestTunnelEndToEnd : public QObject
{
    Q_OBJECT

    // Sudo, connect script, installer, prompt tool (failing: the installer must never run here), pid file.
    const Paths m_paths {qEnvironmentVariable("CV_TEST_SUDO"), CONNECT_SCRIPT, Paths::defaultInstallerPath(),
        "/bin/false", qEnvironmentVariable("CV_PID_FILE")};
    const QStringList m_before = network();
    ModelMaker m_maker;

    static QByteArray serviceLog() { return sh("cat \"$CV_TEST_SERVICE_LOG\""); }
    // The echo behind the exit answers with the address it saw us come from.
    static QByteArray echo() { return sh("curl -s -m 10 http://198.18.0.1/"); }

    // A model of the substitute service, or of `fake` (its region "x"), after its connect.
    std::unique_ptr<AppModel> connected(FakeService *fake = nullptr)
    {
        const QString api = fake ? fake->base() : qEnvironmentVariable("CV_TEST_API");
        auto model = m_maker.make(api, Timing {10s, 100ms, 300ms}, m_paths);
        model->setToken(QRegularExpression("token (\\S+)").match(serviceLog()).captured(1));
        if (fake)
            model->setSelected(Region {"x", "X", "x", "F", "online"});
        else
            QCoro::waitFor(model->loadRegions());
        QCoro::waitFor(model->connect());
        return model;
    }

    // The model ends in `state`, saying `error` (none when empty), and nothing is left behind.
    void leftNothing(const AppModel &model, State state, const QString &error = {})
    {
        QCOMPARE(model.state(), state);
        QCOMPARE(model.errorMsg().value_or(""), error);
        QTRY_VERIFY(!QFile::exists(m_paths.pidFile));
        QCOMPARE(network(), m_before);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!m_paths.pidFile.isEmpty(), "run through tunnel_e2e.sh, which makes the namespaces");
        qputenv("CV_AGENT", AGENT_PATH);
    }

    void cleanup() { QProcess::execute(CONNECT_SCRIPT, {"down"}); } // no tunnel is left to the next test

    // A full tunnel: traffic to an address that exists only behind the exit arrives there
    // from our mesh address, heartbeats go through it, and the wire sees only WireGuard.
    void everythingGoesThroughTheTunnel()
    {
        auto model = connected();
        QCOMPARE(model->state(), State::connected);
        QProcess capture; // (link housekeeping aside: ARP, IPv6 neighbour and listener messages)
        capture.start("tcpdump",
            {"-i", "cvtc0", "-n", "-l", "-q",
                "not arp and not (ip6 and (src net fe80::/10 or dst net ff00::/8))"});
        QByteArray said;
        QTRY_VERIFY((said += capture.readAllStandardError()).contains("listening on"));
        const QString meshIp
            = QRegularExpression("inet (100\\.96\\.0\\.\\d+)").match(sh("ip addr show cv0")).captured(1);
        QCOMPARE(echo(), "{\"yourAddress\":\"" + meshIp.toUtf8() + "\"}");
        const qsizetype beats = serviceLog().count("/heartbeat -> 200");
        QTRY_VERIFY(serviceLog().count("/heartbeat -> 200") > beats);
        capture.terminate();
        capture.waitForFinished();
        for (const QByteArray &packet : capture.readAllStandardOutput().trimmed().split('\n'))
            QVERIFY2(packet.contains(".51820: UDP") || packet.contains(".51820 > "), packet.constData());

        QCoro::waitFor(model->disconnect());
        leftNothing(*model, State::disconnected);
        QTRY_VERIFY(serviceLog().contains("/release -> 200"));
    }

    // WireGuard itself gone: the agent ends, taking away what it added, and the client notices.
    void wireGuardGoingIsNoticed()
    {
        auto model = connected();
        sh("pkill --ns $$ --nslist net -KILL -f '^wireguard-go cv0'"); // ours only, not the machine's
        QTRY_COMPARE_WITH_TIMEOUT(model->state(), State::disconnected, 10000);
        leftNothing(
            *model, State::disconnected, "The connection was lost: your traffic is no longer protected.");
    }

    // In the way: a blocked port (the agent then tries the relay), a control plane that refuses or
    // answers garbage (adding a line to the root configuration). The connect goes on or says why.
    void inTheWay_data()
    {
        QTest::addColumn<QString>("blocked"); // UDP ports, on the way to the exit
        QTest::addColumn<QString>("joinCode"); // from a fake service; "code": for its own control plane
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const char *blocked, const char *joinCode, const char *error) {
            QTest::newRow(name) << QString(blocked) << QString(joinCode) << QString(error);
        };
        row("the relay stands in", "51820", "", "");
        row("nothing answers", "{ 51820, 51821 }", "",
            "cv-connect: no handshake with the exit node over 10.231.0.2:51820 or the relay "
            "10.231.0.1:51821");
        row("unknown join code", "", "nobody-gave-this", "cv-connect: unknown join code");
        row("garbage", "", "code",
            "cv-connect: unexpected reply (MeshJoin: key \"meshIp\" must be an IP address)");
    }

    void inTheWay()
    {
        QFETCH(QString, blocked);
        QFETCH(QString, joinCode);
        QFETCH(QString, error);
        const QString nft = "ip netns exec \"$CV_TEST_SERVICE_NS\" nft ";
        if (!blocked.isEmpty())
            sh(nft + "'add table inet t; add chain inet t in { type filter hook prerouting priority 0; }; "
                + "add rule inet t in udp dport " + blocked + " drop'");
        const auto unblock = qScopeGuard([&] { sh(nft + "delete table inet t"); });
        FakeService fake;
        const QString control
            = joinCode == "code" ? fake.base() : qEnvironmentVariable("CV_TEST_API") + "/mesh";
        fake.enqueue(200,
            QString(R"({"state":"ready","connectInfo":{"server":"10.231.0.2","exitMeshIp":"100.96.0.1",
            "relay":"10.231.0.1:51821","coreIp":"100.96.0.1","joinCode":"%1","controlPlane":"%2"}})")
                .arg(joinCode, control)
                .toUtf8());
        fake.setFallback(
            {200, R"({"meshIp":"100.96.0.9/32\nPostUp = touch /evil","exitPublicKey":"x"})", {}});
        auto model = connected(joinCode.isEmpty() ? nullptr : &fake);
        if (error.isEmpty()) {
            QVERIFY(sh("wg show cv0 endpoints").contains(":51821"));
            QVERIFY(echo().contains("yourAddress"));
            QCoro::waitFor(model->disconnect());
        }
        leftNothing(*model, error.isEmpty() ? State::disconnected : State::failed, error);
    }
};

QTEST_GUILESS_MAIN(TestTunnelEndToEnd)
#include "tst_tunnel_e2e.moc"
