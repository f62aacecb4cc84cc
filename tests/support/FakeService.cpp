#include "FakeService.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace corvanta::test {

FakeService::FakeService(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("FakeService: cannot listen on 127.0.0.1");
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this,
                [this, socket, buffer] { onReadable(socket, *buffer); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_clock.start();
}

QList<RecordedRequest> FakeService::requestsTo(const QByteArray &part) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.target.contains(part))
            matching.append(request);
    }
    return matching;
}

QString FakeService::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort());
}

void FakeService::onReadable(QTcpSocket *socket, QByteArray &buffer)
{
    buffer += socket->readAll();
    for (qsizetype headerEnd; (headerEnd = buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        RecordedRequest request {requestLine.value(0), requestLine.value(1), {}, {}, 0};
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qsizetype length = request.header("content-length").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        request.receivedMs = m_clock.elapsed();
        m_requests.append(request);
        answer(socket, request);
    }
}

void FakeService::answer(QTcpSocket *socket, const RecordedRequest &request)
{
    const std::optional<FakeReply> handled = m_handler ? m_handler(request) : std::nullopt;
    const FakeReply reply = handled ? *handled : m_queue.isEmpty() ? m_fallback : m_queue.dequeue();
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
    bool hasContentType = false;
    for (const auto &[name, value] : reply.headers) {
        out += name + ": " + value + "\r\n";
        hasContentType = hasContentType || name.toLower() == "content-type";
    }
    if (!hasContentType && !reply.body.isEmpty())
        out += "Content-Type: application/json\r\n";
    if (reply.status != 204)
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    // One request per connection keeps replies in step with the queue.
    socket->write(out + "Connection: close\r\n\r\n" + (reply.status != 204 ? reply.body : QByteArray()));
    socket->disconnectFromHost();
}

} // namespace corvanta::test
