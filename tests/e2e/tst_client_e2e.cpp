// The real client, offscreen, against the substitute service, driven from its command line.

#include "DefaultsStore.h"
#include "DevServiceProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace corvanta;
using namespace corvanta::test;

namespace {

struct Run
{
    int code = -1;
    QString out, err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out.toUtf8()); }
};

Run cli(const QProcessEnvironment &env, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(CLIENT_PATH, arguments);
    if (!process.waitForFinished(60000))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError())};
}

// A mount namespace where sudo just runs the connect script, a stand-in that starts a
// process under the agent's name in an empty /usr/local and /run: no network is touched.
const char *sandbox = R"SH(set -e
printf '#!/bin/sh\n[ "$1" = -n ] && shift\nexec "$@"\n' >"$1/sudo" && chmod 755 "$1/sudo"
mount --bind "$1/sudo" /usr/bin/sudo
mount -t tmpfs -o mode=755 tmpfs /usr/local
mkdir -p /usr/local/libexec/corvanta
cat >/usr/local/libexec/corvanta/cv-connect.sh <<'EOF'
#!/bin/bash
pidfile=/run/corvanta/corvanta-app.pid
[ "$1" = up ] || { kill "$(cat "$pidfile")" && rm -f "$pidfile"; exit; }
[ ! -f "$HOME/fail" ] || { printf %s "$5" >"$HOME/join"
    printf 'agent: join refused: {"joinCode":"%s"} %s\n' "$5" "$(cat "$HOME/fail")" >&2; exit 1; }
(exec -a /usr/local/libexec/corvanta/corvanta-agent sleep 300) >/dev/null 2>&1 &
echo $! >"$pidfile"
EOF
chmod 755 /usr/local/libexec/corvanta/cv-connect.sh
mount -t tmpfs -o mode=755 tmpfs /run && mkdir /run/corvanta
shift
exec "$@"
)SH";

} // namespace

class TestClientEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void singleInstanceAndCommandLine()
    {
        DevServiceProcess service;
        QVERIFY2(service.start(DEVSERVICE_PATH, {"--provision-seconds", "0"}), qPrintable(service.output()));
        // A signed-in user of our own, with no session bus: nothing reaches the user's keyring.
        QTemporaryDir home;
        DefaultsStore store(home.filePath(".config/corvanta/corvanta.conf"));
        store.setValue("cv_token", service.demoToken());
        store.setValue("cv_email", "demo@corvanta.test");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath(".config"));
        env.insert("XDG_RUNTIME_DIR", home.path());
        env.insert("CORVANTA_API", service.base());
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
        const auto failsWith = [&](const QStringList &arguments, int code, const QString &text) {
            const Run run = cli(env, arguments);
            QCOMPARE(run.code, code);
            QVERIFY2(
                run.err.startsWith("corvanta: " + text) && run.err.count('\n') == 1, qPrintable(run.err));
            QVERIFY(run.out.isEmpty());
        };

        QCOMPARE(cli(env, {"--version"}).out, QStringLiteral("corvanta " CORVANTA_VERSION "\n"));
        QVERIFY(cli(env, {"--help"}).out.contains("connect [ID]"));
        failsWith({"status"}, 3, "corvanta is not running");

        // A plain start shows the window, which loads the list; a second start only hands over.
        QProcess client;
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedChannels);
        client.start(CLIENT_PATH, {});
        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains("GET /api/regions -> 200"), 15000);
        QCOMPARE(cli(env, {}).code, 0);
        QCOMPARE(client.state(), QProcess::Running);
        client.terminate();
        QVERIFY(client.waitForFinished(10000));

        client.start("unshare",
            QStringList(::geteuid() == 0 ? "--mount" : "--map-root-user")
                + QStringList {
                    "--mount", "bash", "-c", sandbox, "sandbox", home.path(), CLIENT_PATH, "--hidden"});
        QTRY_COMPARE_WITH_TIMEOUT(cli(env, {"status"}).code, 0, 15000);
        const auto report = [&] { return cli(env, {"diagnostics", "--json"}).json().object(); };
        const auto status = [&] { return cli(env, {"status", "--json"}).json().object(); };
        QCOMPARE(report()["window"], "hidden");

        // Nothing chosen yet: connect loads the list and takes the first location online.
        const Run connect = cli(env, {"connect", "--json"});
        QCOMPARE(connect.code, 0);
        QCOMPARE(connect.json()["state"], "connected");
        QStringList online;
        QString offline;
        const QJsonArray locations = cli(env, {"locations", "--json"}).json().array();
        for (const QJsonValue &location : locations) {
            if (location["online"].toBool())
                online << location["id"].toString();
            else
                offline = location["id"].toString();
        }
        QVERIFY(locations.size() >= 10 && online.size() >= 2 && !offline.isEmpty());
        QCOMPARE(status()["state"], "connected");
        QCOMPARE(status()["location"].toObject()["id"].toString(), online[0]);
        QVERIFY(!status()["exitAddress"].toString().isEmpty());
        failsWith({"connect", online[1]}, 1, "connected to");
        failsWith({"connect", offline}, 1, "");
        failsWith({"connect", "nowhere"}, 1, "unknown location");
        failsWith({"frobnicate"}, 2, "unknown command");
        QCOMPARE(cli(env, {"disconnect"}).code, 0);
        QCOMPARE(status()["state"], "disconnected");

        // A connect elsewhere that fails with secrets in its reason: the report holds none of them.
        QStringList secrets {service.demoToken(), "c0de-PLANTED", "v3rifier-PLANTED", "st4te-PLANTED",
            "pw-PLANTED", "demo@corvanta.test", "mB3d8sHtvA0Q5r0c9aVqzL2WkXf7YpJeN1uGiOo4TbE="};
        QFile fail(home.filePath("fail"));
        QVERIFY(fail.open(QIODevice::WriteOnly));
        fail.write(
            QStringLiteral("Authorization: Bearer %1 https://cp.test/cb?code=%2&code_verifier=%3&state=%4 "
                           "password=%5 for %6 {\"privateKey\": \"%7\"}")
                .arg(secrets[0], secrets[1], secrets[2], secrets[3], secrets[4], secrets[5], secrets[6])
                .toUtf8());
        fail.close();
        failsWith({"connect", online[1]}, 1, "agent: join refused");
        QCOMPARE(status()["location"].toObject()["id"].toString(), online[1]);
        QFile join(home.filePath("join"));
        QVERIFY(join.open(QIODevice::ReadOnly));
        secrets << QString::fromUtf8(join.readAll());
        const Run diagnostics = cli(env, {"diagnostics"});
        QCOMPARE(diagnostics.code, 0);
        QVERIFY2(diagnostics.out.contains("could not connect: \"agent: join refused"),
            qPrintable(diagnostics.out));
        for (const QString &secret : std::as_const(secrets))
            QVERIFY2(secret.size() > 8 && !diagnostics.out.contains(secret), qPrintable(secret));

        // Started again, it shows itself.
        QCOMPARE(cli(env, {}).code, 0);
        QCOMPARE(report()["window"], "shown");
        client.terminate();
        QVERIFY(client.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestClientEndToEnd)
#include "tst_client_e2e.moc"
