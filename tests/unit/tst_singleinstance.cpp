// The local socket is the user's own: never in a shared folder, never handed to
// another user's listener, and not taken down by a flood of idle connections.
// Needs root (to play the other user and to own a folder as someone else).

#include "SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using namespace corvanta;

namespace {
constexpr uid_t nobody = 65534;

// Child process roles, run by this same executable.
int runChild(const QByteArray &role, const QString &path)
{
    if (role == "foreign-listener") { // another user, listening where we would
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            return 2;
        QLocalServer server;
        server.setSocketOptions(QLocalServer::WorldAccessOption);
        if (!server.listen(path))
            return 3;
        std::printf("listening\n");
        std::fflush(stdout);
        while (server.waitForNewConnection(10000)) {
            QLocalSocket *peer = server.nextPendingConnection();
            peer->waitForReadyRead(2000);
            peer->write("ok\n");
            peer->waitForBytesWritten(2000);
        }
        return 0;
    }
    // "flood": 300 idle connections, then a real message until it is taken. (The
    // tight descriptor limit is the server's, not ours.)
    struct rlimit limit { };
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<QLocalSocket>());
        idle.back()->connectToServer(path);
        idle.back()->waitForConnected(1000);
    }
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (SingleInstance::forward(path, "ping", 1000))
            return 0;
        QThread::msleep(250);
    }
    return 1;
}

bool isRoot()
{
    return ::geteuid() == 0;
}
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!isRoot())
            QFAIL("these tests need root: they act as a second user");
    }

    // A runtime folder that is not ours is refused for a private one in the home.
    void socketFolderIsNeverShared()
    {
        // Both the runtime folder and Qt's own fallback in the temporary folder
        // belong to someone else (as an attacker can arrange in /tmp).
        QTemporaryDir home, runtime, tmp;
        QVERIFY(QDir(tmp.path()).mkdir("runtime-root"));
        for (const QString &foreign : {runtime.path(), tmp.filePath("runtime-root")})
            QVERIFY(::chown(QFile::encodeName(foreign).constData(), nobody, nobody) == 0);
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        qputenv("TMPDIR", tmp.path().toUtf8());
        const QString path = SingleInstance::defaultSocketPath();
        QCOMPARE(path, home.filePath(".cache/corvanta-runtime/corvanta.sock"));
        QCOMPARE(QFileInfo(QFileInfo(path).path()).permissions() & 0x0077, QFile::Permissions());
    }

    // A listener of another user never receives what we hand over.
    void foreignListenerGetsNothing()
    {
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7777));
        const QString path = dir.filePath("sock");
        QProcess other;
        other.start(QCoreApplication::applicationFilePath(), {"foreign-listener", path});
        QVERIFY(other.waitForReadyRead(5000));
        QVERIFY(!SingleInstance::forward(path, "corvanta://auth?code=secret", 2000));
        other.kill();
        other.waitForFinished();
    }

    // With few descriptors to spare, a flood of idle connections neither closes
    // the socket nor keeps a real message out for long.
    void floodDoesNotTakeTheSocketDown()
    {
        struct rlimit before { };
        ::getrlimit(RLIMIT_NOFILE, &before);
        struct rlimit tight = before;
        tight.rlim_cur = 128;
        ::setrlimit(RLIMIT_NOFILE, &tight);

        QTemporaryDir dir;
        const QString path = dir.filePath("sock");
        SingleInstance instance(path);
        QVERIFY(instance.listen());
        QSignalSpy received(&instance, &SingleInstance::messageReceived);
        QProcess flood;
        flood.start(QCoreApplication::applicationFilePath(), {"flood", path});
        // The server answers only while the event loop runs: wait by spinning it.
        QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QProcess::NotRunning, 30000);
        QCOMPARE(flood.exitCode(), 0);
        QCOMPARE(received.last().first().toByteArray(), QByteArray("ping"));
        QVERIFY(QFileInfo::exists(path));
        ::setrlimit(RLIMIT_NOFILE, &before);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3)
        return runChild(argv[1], QString::fromLocal8Bit(argv[2]));
    TestSingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
