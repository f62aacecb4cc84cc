#include "FakeService.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace corvanta::test {

FakeService::FakeService(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("FakeService: cannot listen on 127.0.0.1");
    connect(m_server, &QTcpServer::newConnection, this, &FakeService::onConnection);
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

FakeService::~FakeService() = default;

QString FakeService::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort());
}

void FakeService::onConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeService::onReadable(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();

    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        RecordedRequest request;
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(
                    lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = request.header("content-length").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        request.receivedMs = m_clock.elapsed();

        m_requests.append(request);
        if (!m_silent)
            answer(socket, request);
    }
}

void FakeService::answer(QTcpSocket *socket, const RecordedRequest &request)
{
    std::optional<FakeReply> handled = m_handler ? m_handler(request) : std::nullopt;
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
    out += "Connection: close\r\n\r\n";
    if (reply.status != 204)
        out += reply.body;
    socket->write(out);
    socket->disconnectFromHost();
}

} // namespace corvanta::test
