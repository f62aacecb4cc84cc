#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <utility>

namespace corvanta::devservice {

// A UDP relay for clients that cannot reach the exit directly: each client
// endpoint gets an upstream socket of its own towards the exit, and what comes
// back on it goes to that client. Bounded: at most 64 clients, idle ones dropped
// after 3 minutes, datagrams over 2048 bytes dropped.
class Relay : public QObject
{
    Q_OBJECT

public:
    Relay(const QHostAddress &exit, quint16 exitPort, QObject *parent = nullptr);

    // Returns false, with error set, when the address cannot be bound.
    bool listen(const QHostAddress &address, quint16 port, QString &error);

private:
    using Endpoint = std::pair<QHostAddress, quint16>;
    struct Client
    {
        QUdpSocket *upstream = nullptr;
        QElapsedTimer lastHeard;
    };

    void fromClients();
    void fromExit(const Endpoint &endpoint, QUdpSocket *upstream);
    // The client's entry, made on first contact; nullptr when the relay is full.
    Client *client(const Endpoint &endpoint);
    void dropIdle();

    QHostAddress m_exit;
    quint16 m_exitPort;
    QHostAddress m_address;
    QUdpSocket m_socket;
    QHash<Endpoint, Client> m_clients;
    QTimer m_sweep;
};

} // namespace corvanta::devservice
