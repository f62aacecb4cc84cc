#include "Relay.h"

#include <QNetworkDatagram>

namespace corvanta::devservice {

namespace {
constexpr int maxClients = 64;
constexpr qint64 maxDatagram = 2048;
constexpr qint64 idleMs = 3 * 60 * 1000;

// The next datagram, or an empty one when it is over the size limit. Reading
// one byte more than the limit tells the two apart without a bigger buffer.
QNetworkDatagram receive(QUdpSocket &socket)
{
    QNetworkDatagram datagram = socket.receiveDatagram(maxDatagram + 1);
    return datagram.data().size() > maxDatagram ? QNetworkDatagram() : datagram;
}
} // namespace

Relay::Relay(const QHostAddress &exit, quint16 exitPort, QObject *parent)
    : QObject(parent)
    , m_exit(exit)
    , m_exitPort(exitPort)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &Relay::fromClients);
    connect(&m_sweep, &QTimer::timeout, this, &Relay::dropIdle);
    m_sweep.start(30 * 1000);
}

bool Relay::listen(const QHostAddress &address, quint16 port, QString &error)
{
    m_address = address;
    if (m_socket.bind(address, port))
        return true;
    error = QStringLiteral("the relay cannot listen on %1:%2: %3")
                .arg(address.toString())
                .arg(port)
                .arg(m_socket.errorString());
    return false;
}

void Relay::fromClients()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = receive(m_socket);
        if (!datagram.isValid())
            continue;
        Client *sender = client({datagram.senderAddress(), static_cast<quint16>(datagram.senderPort())});
        if (!sender)
            continue;
        sender->lastHeard.start();
        sender->upstream->writeDatagram(datagram.data(), m_exit, m_exitPort);
    }
}

void Relay::fromExit(const Endpoint &endpoint, QUdpSocket *upstream)
{
    while (upstream->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = receive(*upstream);
        // Only the exit may answer through this socket.
        if (!datagram.isValid() || datagram.senderAddress() != m_exit || datagram.senderPort() != m_exitPort)
            continue;
        const auto it = m_clients.find(endpoint);
        if (it == m_clients.end())
            return;
        it->lastHeard.start();
        m_socket.writeDatagram(datagram.data(), endpoint.first, endpoint.second);
    }
}

Relay::Client *Relay::client(const Endpoint &endpoint)
{
    const auto it = m_clients.find(endpoint);
    if (it != m_clients.end())
        return &*it;
    if (m_clients.size() >= maxClients)
        dropIdle();
    if (m_clients.size() >= maxClients)
        return nullptr;

    auto *upstream = new QUdpSocket(this);
    if (!upstream->bind(m_address, 0)) {
        delete upstream;
        return nullptr;
    }
    connect(
        upstream, &QUdpSocket::readyRead, this, [this, endpoint, upstream] { fromExit(endpoint, upstream); });
    Client fresh;
    fresh.upstream = upstream;
    fresh.lastHeard.start();
    return &*m_clients.insert(endpoint, fresh);
}

void Relay::dropIdle()
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (it->lastHeard.hasExpired(idleMs)) {
            it->upstream->deleteLater();
            it = m_clients.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace corvanta::devservice
