#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanta {

namespace {
// One line each way: the message, then the running instance's "ok".
constexpr qsizetype maxMessage = 8192;
// A handful of starts at once is plenty; more, or a silent one, is someone else's game.
constexpr int maxConnections = 8;
constexpr int idleMs = 2000;

// A real folder (not a link) that is ours and closed to everyone else.
bool isPrivateFolder(const QString &folder)
{
    struct stat st
    { };
    return ::lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Whether the other end of a connected local socket runs as us.
bool peerIsUs(qintptr descriptor)
{
    struct ucred peer
    { };
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::getuid();
}
} // namespace

QString SingleInstance::defaultSocketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !isPrivateFolder(folder)) {
        // Never a shared folder such as /tmp: another user could listen there first
        // and take the sign-in callback.
        const QString cache = QDir::homePath() + QStringLiteral("/.cache");
        folder = cache + QStringLiteral("/corvanta-runtime");
        QDir().mkpath(cache);
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
        if (!isPrivateFolder(folder))
            return {};
    }
    return folder + QStringLiteral("/corvanta.sock");
}

bool SingleInstance::forward(const QString &socketPath, const QByteArray &message, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs) || !peerIsUs(socket.socketDescriptor()))
        return false;
    socket.write(message.left(maxMessage) + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
    , m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
}

bool SingleInstance::listen()
{
    if (m_server->listen(m_socketPath))
        return true;
    // A socket file left by an instance that crashed: nobody answers on it.
    if (m_server->serverError() != QAbstractSocket::AddressInUseError || forward(m_socketPath, {}, 500))
        return false;
    QLocalServer::removeServer(m_socketPath);
    return m_server->listen(m_socketPath);
}

void SingleInstance::onConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        // The server's live connections are its QLocalSocket children.
        const bool full = m_server->findChildren<QLocalSocket *>().size() > maxConnections;
        if (full || !peerIsUs(socket->socketDescriptor())) {
            socket->abort();
            delete socket;
            continue;
        }
        QTimer::singleShot(idleMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > maxMessage)
                    socket->abort();
                return;
            }
            const QByteArray message = socket->readLine().trimmed();
            socket->write("ok\n");
            socket->disconnectFromServer();
            emit messageReceived(message);
        });
    }
}

} // namespace corvanta
