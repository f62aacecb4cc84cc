#include "SingleInstance.h"

#include "Log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <utility>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanta {

namespace {
// One line each way: the message, then the running instance's "ok"; or a command
// (JSON, one line) and its answer (JSON, one line).
constexpr qsizetype maxMessage = 8192;
constexpr qsizetype maxRequest = 4096;
constexpr qsizetype maxAnswer = 1 << 20;
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
    const bool us = ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::getuid();
    if (!us)
        qCWarning(lcSocket) << "refused a peer running as uid" << peer.uid;
    return us;
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject failure(const QString &text)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), text}};
}
} // namespace

Request::Request(QJsonObject body, QLocalSocket *socket)
    : QObject(socket)
    , m_body(std::move(body))
    , m_socket(socket)
{ }

QString Request::command() const
{
    return m_body.value(QLatin1String("command")).toString();
}

void Request::answer(const QJsonObject &reply)
{
    if (std::exchange(m_answered, true))
        return;
    QByteArray bytes = line(reply);
    if (bytes.size() > maxAnswer)
        bytes = line(failure(QStringLiteral("the answer is too long")));
    m_socket->write(bytes);
    m_socket->disconnectFromServer(); // once written
}

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

SingleInstance::Answer SingleInstance::ask(
    const QString &socketPath, const QJsonObject &request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    Answer answer;
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(std::min(timeoutMs, 3000)) || !peerIsUs(socket.socketDescriptor()))
        return answer;
    answer.outcome = Answer::noAnswer;
    socket.write(line(request));
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() > maxAnswer || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return answer;
    }
    const QByteArray text = socket.readLine(maxAnswer + 2).trimmed();
    if (text == "ok") {
        answer.outcome = Answer::tooOld;
        return answer;
    }
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (document.isObject()) {
        answer.outcome = Answer::answered;
        answer.reply = document.object();
    }
    return answer;
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
        if (full)
            qCWarning(lcSocket) << "refused a connection: too many at once";
        if (full || !peerIsUs(socket->socketDescriptor())) {
            socket->abort();
            delete socket;
            continue;
        }
        // Nothing past one line is ever read: more stays with the sender.
        socket->setReadBufferSize(maxMessage + 1);
        // Silent ones go; a command that is in may take as long as it takes.
        auto *idle = new QTimer(socket);
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, socket, [socket] {
            qCDebug(lcSocket) << "dropped a connection that sent nothing";
            socket->abort();
            socket->deleteLater();
        });
        idle->start(idleMs);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, idle] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > maxMessage)
                    socket->abort();
                return;
            }
            const QByteArray message = socket->readLine().trimmed();
            if (!message.startsWith('{')) {
                qCDebug(lcSocket) << (message.isEmpty() ? "asked to show the window" : "took an address");
                socket->write("ok\n");
                socket->disconnectFromServer();
                emit messageReceived(message);
                return;
            }
            idle->stop();
            disconnect(socket, &QLocalSocket::readyRead, this, nullptr); // one command per connection
            const QJsonDocument document
                = message.size() > maxRequest ? QJsonDocument() : QJsonDocument::fromJson(message);
            if (!document.isObject()) {
                qCDebug(lcSocket) << "refused a command that is too long or not a JSON object";
                socket->write(line(failure(QStringLiteral("not a command"))));
                socket->disconnectFromServer();
                return;
            }
            auto *request = new Request(document.object(), socket);
            qCDebug(lcSocket) << "command" << request->command().left(40);
            emit requestReceived(request);
        });
    }
}

} // namespace corvanta
