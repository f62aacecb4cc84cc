#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace corvanta {

namespace {
// One line each way: the message, then the running instance's "ok".
constexpr qsizetype maxMessage = 8192;
} // namespace

QString SingleInstance::defaultSocketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + QStringLiteral("/corvanta.sock");
}

bool SingleInstance::forward(const QString &socketPath, const QByteArray &message, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs))
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
