// The local socket is the user's own: never in a shared folder, never handed to another
// user's listener, not taken down by a flood. Needs root, to act as a second user.

#include "SingleInstance.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

using namespace corvanta;

namespace {
constexpr uid_t nobody = 65534;
const QByteArray longMessage(9000, 'p');

// Children: another user listening where we would, or 300 idle connections, then a message.
int runChild(const QByteArray &role, const QString &path)
{
    if (role == "flood") {
        QLocalSocket idle[300];
        for (QLocalSocket &socket : idle) {
            socket.connectToServer(path);
            socket.waitForConnected(1000);
        }
        for (int attempt = 0; attempt < 40; ++attempt) {
            if (SingleInstance::forward(path, longMessage, 1000))
                return 0;
            QThread::msleep(250);
        }
        return 1;
    }
    QLocalServer server;
    server.setSocketOptions(QLocalServer::WorldAccessOption);
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0 || !server.listen(path))
        return 2;
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
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString path = dir.filePath("sock");

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QFAIL("these tests need root: they act as a second user");
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7777)); // for the other user
    }

    // The runtime folder and Qt's fallback in /tmp are someone else's: one in the home serves.
    void socketFolderIsNeverShared()
    {
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

    void foreignListenerGetsNothing()
    {
        QProcess other;
        other.start(QCoreApplication::applicationFilePath(), {"foreign-listener", path});
        QVERIFY(other.waitForReadyRead(5000));
        QVERIFY(!SingleInstance::forward(path, "corvanta://auth?code=secret", 2000));
        other.kill();
        other.waitForFinished(); // leaving its socket file behind, for the next one to replace
    }

    // A message is answered and its connection closed at once; with few descriptors to spare,
    // a flood neither closes the socket nor keeps a message (cut to 8 KiB) out for long.
    void messagesDespiteAFlood()
    {
        rlimit before {};
        ::getrlimit(RLIMIT_NOFILE, &before);
        const rlimit tight {128, before.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &tight);
        SingleInstance instance(path);
        QVERIFY(instance.listen());
        QSignalSpy received(&instance, &SingleInstance::messageReceived);
        QLocalSocket peer;
        peer.connectToServer(path);
        peer.write("corvanta://auth?code=c\n");
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QLocalSocket::UnconnectedState, 1500);
        QCOMPARE(peer.readAll(), QByteArray("ok\n"));
        QCOMPARE(received.value(0).value(0).toByteArray(), QByteArray("corvanta://auth?code=c"));
        QProcess flood;
        flood.setChildProcessModifier(
            [&] { ::setrlimit(RLIMIT_NOFILE, &before); }); // the limit is the server's
        flood.start(QCoreApplication::applicationFilePath(), {"flood", path});
        // The server answers only while the event loop runs: wait by spinning it.
        QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QProcess::NotRunning, 30000);
        ::setrlimit(RLIMIT_NOFILE, &before);
        QCOMPARE(flood.exitCode(), 0);
        QCOMPARE(received.last().first().toByteArray(), longMessage.left(8192));
        QVERIFY(QFileInfo::exists(path));
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
