// The connect-script runner, the administrator prompt and the process-id probe.

#include "AdminPrompt.h"
#include "ConnectHelper.h"
#include "FakeProgram.h"
#include "PidProbe.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvanta;
using namespace corvanta::test;

namespace {
struct Rig
{
    QTemporaryDir dir;
    FakeProgram sudo {dir.path(), "sudo"};
    FakeProgram prompt {dir.path(), "pkexec"};
    Paths paths;

    Rig()
    {
        paths.sudo = sudo.path();
        paths.promptTool = prompt.path();
        paths.helper = dir.filePath("libexec/cv-connect.sh");
        paths.installer = "/opt/corvanta/scripts/install-helper.sh";
        paths.pidFile = dir.filePath("tunnel.pid");
    }
};

void writeFile(const QString &path, const QByteArray &content, int mode = 0644)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}
} // namespace

class TestConnectHelper : public QObject
{
    Q_OBJECT

    FakeTunnel tunnel; // the tests need root: the client counts only root's tunnel

private slots:
    void runHelperPassesArgumentsExactly()
    {
        Rig rig;
        rig.sudo.answer(0, "", "only on standard output");
        QVERIFY(!errorOf(runHelper(rig.paths, {"down"})));
        QVERIFY(!errorOf(runHelper(rig.paths, {"up", "a b", "", "$(id)", "-x"})));
        const auto calls = rig.sudo.calls();
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[0], (QStringList {"-n", rig.paths.helper, "down"}));
        QCOMPARE(calls[1], (QStringList {"-n", rig.paths.helper, "up", "a b", "", "$(id)", "-x"}));
        QCOMPARE(Paths().sudo, QStringLiteral("/usr/bin/sudo"));
        QCOMPARE(Paths().helper, QStringLiteral("/usr/local/libexec/corvanta/cv-connect.sh"));
    }

    void runHelperTurnsFailuresIntoTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("standardError");
        QTest::addColumn<QString>("text");
        const QString setupHint = "one-time setup needed \u2014 run: sudo /opt/corvanta/scripts/install-helper.sh";
        QTest::newRow("trimmed") << 2 << QByteArray("tunnel busy\n") << "tunnel busy";
        QTest::newRow("blank") << 3 << QByteArray("  \n\t\n") << "failed";
        QTest::newRow("password") << 1 << QByteArray("sudo: a password is required\n") << setupHint;
        QTest::newRow("password, no sudo word") << 1 << QByteArray("password is required\nmore") << setupHint;
        QTest::newRow("SUDO in capitals") << 1 << QByteArray("SUDO refused") << setupHint;
        QTest::newRow("Password capitalised")
            << 1 << QByteArray("Password Is Required") << "Password Is Required";
        QTest::newRow("not UTF-8") << 4 << QByteArray("\xff\xfe bad") << "failed";
        QTest::newRow("stdout never shown") << 5 << QByteArray() << "failed";
    }

    void runHelperTurnsFailuresIntoTexts()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, standardError);
        QFETCH(QString, text);
        Rig rig;
        rig.sudo.answer(status, standardError, "secret output");
        const auto error = errorOf(runHelper(rig.paths, {"down"}));
        QVERIFY(error);
        QCOMPARE(error->description(), text);
        QCOMPARE(error->code(), status);
        QCOMPARE(error->domain(), QStringLiteral("corvanta"));
    }

    void childrenNeverStallOrBlock()
    {
        Rig rig;
        // A megabyte on standard error arrives whole.
        const QByteArray big = QByteArray(1024 * 1024, 'x') + "end";
        rig.sudo.answer(9, big, big);
        const auto error = errorOf(runHelper(rig.paths, {"down"}));
        QCOMPARE(error->description().size(), big.size());

        // The event loop keeps turning while a slow child runs.
        rig.sudo.answer(0, {}, {}, 1.0);
        int ticks = 0;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&ticks] { ++ticks; });
        probe.start(10);
        QVERIFY(!errorOf(runHelper(rig.paths, {"down"})));
        QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));

        // A program that cannot start gives a text that names it.
        rig.paths.sudo = rig.dir.filePath("missing-sudo");
        const auto missing = errorOf(runHelper(rig.paths, {"down"}));
        QVERIFY(missing);
        QVERIFY2(missing->description().startsWith("could not start " + rig.paths.sudo),
            qPrintable(missing->description()));
    }

    void ensureHelperInstalledPromptsOnlyWhenMissing()
    {
        Rig rig;
        // Present, even empty and not executable: nothing runs.
        QDir().mkpath(rig.dir.filePath("libexec"));
        writeFile(rig.paths.helper, "", 0600);
        QVERIFY(!errorOf(ensureHelperInstalled(rig.paths)));
        QVERIFY(rig.prompt.calls().isEmpty());
        QFile::remove(rig.paths.helper);

        rig.prompt.answer(0);
        QVERIFY(!errorOf(ensureHelperInstalled(rig.paths)));
        QCOMPARE(rig.prompt.calls(), (QList<QStringList> {{rig.paths.installer}}));

        rig.prompt.answer(1, "install-helper: visudo not found\n");
        auto error = errorOf(ensureHelperInstalled(rig.paths));
        QCOMPARE(error->description(), QStringLiteral("install-helper: visudo not found"));
        QCOMPARE(error->code(), 1);

        rig.prompt.answer(3, " \n");
        error = errorOf(ensureHelperInstalled(rig.paths));
        QCOMPARE(error->description(), QStringLiteral("setup cancelled"));
        QCOMPARE(error->code(), 3);

        // pkexec reports a dismissed prompt with 126 and a line of its own.
        rig.prompt.answer(126, "Error executing command as another user: Request dismissed\n");
        error = errorOf(ensureHelperInstalled(rig.paths));
        QCOMPARE(error->description(), QStringLiteral("setup cancelled"));
    }

    void adminPromptCommandPerPlatform()
    {
        const Command linux
            = adminPromptCommand("/usr/local/libexec/corvanta/install-helper.sh", PromptPlatform::Linux);
        QCOMPARE(linux.program, QStringLiteral("/usr/bin/pkexec"));
        QCOMPARE(linux.arguments, QStringList {"/usr/local/libexec/corvanta/install-helper.sh"});

        const Command mac = adminPromptCommand("/a/b/scripts/install-helper.sh", PromptPlatform::MacOS);
        QCOMPARE(mac.program, QStringLiteral("/usr/bin/osascript"));
        QCOMPARE(mac.arguments.size(), 2);
        QCOMPARE(mac.arguments[0], QStringLiteral("-e"));
        QCOMPARE(mac.arguments[1],
            QStringLiteral(
                "do shell script \"'/a/b/scripts/install-helper.sh'\" with administrator privileges"));
        QCOMPARE(mac.arguments[1].size(), 80);

        QVERIFY(QFileInfo(Paths::defaultInstallerPath()).isAbsolute());
        QVERIFY(Paths::defaultInstallerPath().endsWith("/install-helper.sh"));
    }

    void pidFileRules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("running");
        const QByteArray self = tunnel.pid();
        QTest::newRow("live pid and newline") << self + "\n" << 0644 << true;
        QTest::newRow("a process that is not our tunnel") << QByteArray::number(::getpid()) << 0644 << false;
        QTest::newRow("blanks around") << " \t" + self + "\r\n\n" << 0644 << true;
        QTest::newRow("plus sign") << "+" + self << 0644 << true;
        QTest::newRow("blank inside") << self.left(1) + " " + self.mid(1) << 0644 << false;
        QTest::newRow("letter") << self + "a" << 0644 << false;
        QTest::newRow("empty") << QByteArray() << 0644 << false;
        QTest::newRow("above 32 bits") << QByteArray("2147483648") << 0644 << false;
        QTest::newRow("zero, a process group") << QByteArray("0") << 0644 << false;
        QTest::newRow("minus one, every process") << QByteArray("-1") << 0644 << false;
        QTest::newRow("negative, a group") << "-" + self << 0644 << false;
        QTest::newRow("no such process") << QByteArray("2147483647") << 0644 << false;
        QTest::newRow("writable by others") << self << 0666 << false;
        QTest::newRow("writable by group") << self << 0664 << false;
    }

    void pidFileRules()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(bool, running);
        QTemporaryDir dir;
        const QString file = dir.filePath("tunnel.pid");
        writeFile(file, content, mode);
        QCOMPARE(tunnelRunning(file), running);
    }

    void pidFileMustBeTrustworthy()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("tunnel.pid");
        QVERIFY(!tunnelRunning(file)); // missing

        const QString real = dir.filePath("real.pid");
        writeFile(real, tunnel.pid());
        QVERIFY(tunnelRunning(real));
        QVERIFY(QFile::link(real, file));
        QVERIFY(!tunnelRunning(file)); // a link is never followed

        QVERIFY(QDir().mkpath(dir.filePath("dir.pid")));
        QVERIFY(!tunnelRunning(dir.filePath("dir.pid")));

        // Another user's file could name any process.
        QCOMPARE(::chown(QFile::encodeName(real).constData(), 65534, 65534), 0);
        QVERIFY(!tunnelRunning(real));
    }
};

QTEST_GUILESS_MAIN(TestConnectHelper)
#include "tst_connecthelper.moc"
