// The real client on the offscreen platform against the substitute service: it
// restores a session, shows its window (no tray there), loads the locations, and
// a second start only brings the running one forward; the command line drives it.

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

// A signed-in user of our own: home, settings and runtime folder.
QProcessEnvironment privateHome(const QTemporaryDir &home, DevServiceProcess &service)
{
    QDir(home.path()).mkpath("runtime");
    QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    DefaultsStore store(home.filePath("config/corvanta/corvanta.conf"));
    store.setValue("cv_token", service.demoToken());
    store.setValue("cv_email", "demo@corvanta.test");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
    env.insert("CORVANTA_API", service.base());
    env.insert("CV_TEST_DIR", home.path());
    // No session bus: the session stays in the file and out of the user's keyring.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
    return env;
}

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
    if (!process.waitForFinished(120000))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError())};
}

// The client runs in a mount namespace of its own, where sudo runs the connect
// script as it is, and /usr/local and /run/corvanta are empty: the connect script
// is a stand-in that runs a process under the agent's name, no network is touched.
const char *sandbox = R"SH(set -e
mount --bind "$1/sudo" /usr/bin/sudo
mount -t tmpfs -o mode=755 tmpfs /usr/local
mkdir -p /usr/local/libexec/corvanta
cp "$1/cv-connect.sh" /usr/local/libexec/corvanta/
if [ -d /run/corvanta ]; then
    mount -t tmpfs -o mode=755 tmpfs /run/corvanta
else
    mount -t tmpfs -o mode=755 tmpfs /run && mkdir /run/corvanta
fi
shift
exec "$@"
)SH";
const char *fakeSudo = "#!/bin/sh\n[ \"$1\" = -n ] && shift\nexec \"$@\"\n";
const char *standIn = R"SH(#!/bin/bash
# up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE | down
printf '%s\n' "$*" >>"$CV_TEST_DIR/calls"
pidfile=/run/corvanta/corvanta-app.pid
if [ "$1" = up ]; then
    if [ -f "$CV_TEST_DIR/fail" ]; then
        printf 'agent: join refused: {"joinCode":"%s"} %s\n' "$5" "$(cat "$CV_TEST_DIR/fail")" >&2
        exit 1
    fi
    (exec -a /usr/local/libexec/corvanta/corvanta-agent sleep 300) >/dev/null 2>&1 &
    echo $! >"$pidfile"
else
    kill "$(cat "$pidfile")" && rm -f "$pidfile"
fi
)SH";

void writeProgram(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.setPermissions(
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
}

} // namespace

class TestClientEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void startsShowsAndStaysSingle()
    {
        DevServiceProcess service;
        QVERIFY2(service.start(DEVSERVICE_PATH), qPrintable(service.output()));
        QTemporaryDir home;
        const QProcessEnvironment env = privateHome(home, service);

        QProcess client;
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(CLIENT_PATH, {});
        QVERIFY(client.waitForStarted());
        // The window comes up, refreshes the state and loads the list.
        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains("GET /api/regions -> 200"), 15000);
        QCOMPARE(client.state(), QProcess::Running);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(CLIENT_PATH, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(client.state(), QProcess::Running);

        client.terminate();
        QVERIFY(client.waitForFinished(10000));
    }

    void commandLine()
    {
        DevServiceProcess service;
        QVERIFY2(service.start(DEVSERVICE_PATH, {"--provision-seconds", "0"}), qPrintable(service.output()));
        QTemporaryDir home;
        const QProcessEnvironment env = privateHome(home, service);
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

        writeProgram(home.filePath("sudo"), fakeSudo);
        writeProgram(home.filePath("cv-connect.sh"), standIn);
        QProcess client;
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedChannels);
        client.start("unshare",
            QStringList(::geteuid() == 0 ? "--mount" : "--map-root-user")
                + QStringList {
                    "--mount", "bash", "-c", sandbox, "sandbox", home.path(), CLIENT_PATH, "--hidden"});
        QTRY_COMPARE_WITH_TIMEOUT(cli(env, {"status"}).code, 0, 15000);
        const auto report = [&] { return cli(env, {"diagnostics", "--json"}).json().object(); };
        QCOMPARE(report()["window"], "hidden");

        const QJsonArray locations = cli(env, {"locations", "--json"}).json().array();
        QString online, offline;
        for (const QJsonValue &location : locations)
            (location["online"].toBool() ? online : offline) = location["id"].toString();
        QVERIFY(!online.isEmpty() && !offline.isEmpty());
        failsWith({"connect", offline}, 1, "");
        failsWith({"connect", "nowhere"}, 1, "unknown location");
        failsWith({"frobnicate"}, 2, "unknown command");

        // It answers once connected, and stays so.
        const Run connect = cli(env, {"connect", online, "--json"});
        QCOMPARE(connect.code, 0);
        QCOMPARE(connect.json()["state"], "connected");
        const QJsonObject status = cli(env, {"status", "--json"}).json().object();
        QCOMPARE(status["state"], "connected");
        QCOMPARE(status["location"].toObject()["id"].toString(), online);
        QVERIFY(!status["exitAddress"].toString().isEmpty());
        QCOMPARE(cli(env, {"disconnect"}).code, 0);
        QCOMPARE(cli(env, {"status", "--json"}).json()["state"], "disconnected");

        // A connect that fails with secrets in its reason: the report holds none of them.
        const QString key = "mB3d8sHtvA0Q5r0c9aVqzL2WkXf7YpJeN1uGiOo4TbE=";
        QStringList secrets {service.demoToken(), "c0de-PLANTED", "v3rifier-PLANTED", "st4te-PLANTED",
            "pw-PLANTED", "demo@corvanta.test", key};
        QFile fail(home.filePath("fail"));
        QVERIFY(fail.open(QIODevice::WriteOnly));
        fail.write(
            QStringLiteral("Authorization: Bearer %1 https://cp.test/cb?code=%2&code_verifier=%3&state=%4 "
                           "password=%5 for %6 {\"privateKey\": \"%7\"}")
                .arg(secrets[0], secrets[1], secrets[2], secrets[3], secrets[4], secrets[5], key)
                .toUtf8());
        fail.close();
        failsWith({"connect"}, 1, "agent: join refused");
        QFile calls(home.filePath("calls"));
        QVERIFY(calls.open(QIODevice::ReadOnly));
        secrets << QString::fromUtf8(calls.readAll())
                       .trimmed()
                       .split('\n')
                       .last()
                       .split(' ')
                       .value(4); // the join code
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
