#include "EchoServer.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace corvanta::devservice {

namespace {
constexpr qint64 maxRequest = 8 * 1024;
constexpr int deadlineMs = 5000;

QByteArray answer(const QByteArray &status, const QByteArray &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
} // namespace

EchoServer::EchoServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

bool EchoServer::listen(quint16 port)
{
    return m_server.listen(QHostAddress::AnyIPv4, port);
}

void EchoServer::serve(QTcpSocket *socket)
{
    socket->setReadBufferSize(maxRequest);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(deadlineMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    connect(socket, &QTcpSocket::readyRead, socket, [socket] {
        const QByteArray request = socket->peek(maxRequest);
        QByteArray reply;
        if (request.contains("\r\n\r\n")) {
            if (request.startsWith("GET ")) {
                const QJsonObject body {{QStringLiteral("yourAddress"), socket->peerAddress().toString()}};
                reply = answer("200 OK", QJsonDocument(body).toJson(QJsonDocument::Compact));
            } else {
                reply = answer("405 Method Not Allowed", R"({"message":"GET only"})");
            }
        } else if (request.size() >= maxRequest) {
            reply = answer("431 Request Header Fields Too Large", R"({"message":"request too large"})");
        } else {
            return; // wait for the rest of the head
        }
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        socket->write(reply);
        socket->disconnectFromHost();
    });
}

int runEchoServer()
{
    EchoServer server;
    if (!server.listen(80)) {
        std::fprintf(stderr, "corvanta-devservice: the echo page cannot listen on port 80\n");
        return 1;
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            QCoreApplication::quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace corvanta::devservice
