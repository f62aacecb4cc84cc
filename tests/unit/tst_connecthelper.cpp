// The connect-script runner, its installer behind the prompt, and the process-id probe.

#include "ConnectHelper.h"
#include "FakeProgram.h"
#include "PidProbe.h"
#include "TestSupport.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTest>

#include <fstream>
#include <sys/stat.h>

using namespace corvanta;
using namespace corvanta::test;

namespace {
struct Rig
{
    QTemporaryDir dir;
    FakeProgram sudo {dir.path(), "sudo"};
    FakeProgram prompt {dir.path(), "pkexec"};
    Paths paths {sudo.path(), dir.filePath("cv-connect.sh"), "/opt/installer", prompt.path()};
};
} // namespace

class TestConnectHelper : public QObject
{
    Q_OBJECT

    FakeTunnel tunnel; // the tests need root: the client counts only root's tunnel

private slots:
    void failuresBecomeTexts_data()
    {
        QTest::addColumn<bool>("installer"); // or else the connect script
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("standardError");
        QTest::addColumn<QString>("text");
        const auto row
            = [](const char *name, bool installer, int status, const QByteArray &error, const QString &text) {
                  QTest::newRow(name) << installer << status << error << text;
              };
        const QString hint = "one-time setup needed \u2014 run: sudo /opt/installer";
        row("trimmed", false, 2, "tunnel busy\n", "tunnel busy");
        row("blank, and standard output never shown", false, 3, "  \n\t\n", "failed");
        row("password", false, 1, "sudo: a password is required\n", hint);
        row("SUDO in capitals", false, 1, "SUDO refused", hint);
        row("not UTF-8", false, 4, "\xff\xfe bad", "failed");
        row("installer says why", true, 1, "install-helper: visudo not found\n",
            "install-helper: visudo not found");
        row("installer silent", true, 3, " \n", "setup cancelled");
        row("prompt dismissed", true, 126, "Error executing command as another user: Request dismissed\n",
            "setup cancelled");
    }

    void failuresBecomeTexts()
    {
        QFETCH(bool, installer);
        QFETCH(int, status);
        QFETCH(QByteArray, standardError);
        QFETCH(QString, text);
        Rig rig;
        (installer ? rig.prompt : rig.sudo).answer(status, standardError, "secret output");
        // The log names the run, never its arguments: a join code is among them.
        QLoggingCategory::setFilterRules("corvanta.connection.debug=true");
        const QString run = installer ? "installer" : "connect script \\(down\\)";
        QTest::ignoreMessage(QtDebugMsg,
            QRegularExpression(QString("^the %1 ended with %2 after \\d+ ms$").arg(run).arg(status)));
        const auto error
            = errorOf(installer ? ensureHelperInstalled(rig.paths) : runHelper(rig.paths, {"down"}));
        QVERIFY(error);
        QCOMPARE(error->description(), text);
        QCOMPARE(error->code(), status);
        QCOMPARE(error->domain(), QStringLiteral("corvanta"));
    }

    void programThatCannotStart()
    {
        Rig rig;
        rig.paths.sudo = rig.dir.filePath("missing-sudo");
        const auto error = errorOf(runHelper(rig.paths, {"down"}));
        QVERIFY(error && error->description().startsWith("could not start " + rig.paths.sudo));
    }

    // Run from its build tree, the client offers the source tree's installer.
    void installerOfTheBuildTree()
    {
        QCOMPARE(Paths().installer,
            QDir::cleanPath(QFileInfo(__FILE__).path() + "/../../scripts/install-helper.sh"));
    }

    void pidFileRules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("owner");
        const auto row = [](const char *name, const QByteArray &content, bool running, int mode = 0644,
                             int owner = 0) { QTest::newRow(name) << content << running << mode << owner; };
        const QByteArray self = tunnel.pid();
        row("live pid and newline", self + "\n", true);
        row("a process that is not our tunnel", QByteArray::number(::getpid()), false);
        row("blanks around", " \t" + self + "\r\n\n", true);
        row("letter", self + "a", false);
        row("above 32 bits", "2147483648", false);
        row("no such process", "2147483647", false);
        row("4096 bytes", self.leftJustified(4096, ' '), true);
        row("4097 bytes", self.leftJustified(4097, ' '), false);
        row("writable by group", self, false, 0664);
        row("writable by others", self, false, 0646);
        row("another user's: it could name any process", self, false, 0644, 65534);
    }

    void pidFileRules()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, running);
        QFETCH(int, mode);
        QFETCH(int, owner);
        QTemporaryDir dir;
        const QString file = dir.filePath("tunnel.pid");
        std::ofstream(file.toStdString()) << content.constData();
        QVERIFY(::chmod(qPrintable(file), mode) == 0 && ::chown(qPrintable(file), owner, owner) == 0);
        QCOMPARE(tunnelRunning(file), running);
        // Never through a link, nor a folder.
        QVERIFY(QFile::link(file, dir.filePath("link")) && !tunnelRunning(dir.filePath("link")));
        QVERIFY(!tunnelRunning(dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestConnectHelper)
#include "tst_connecthelper.moc"
