#pragma once

#include "WireRecords.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <QCoroTask>

namespace corvanta::agent {

// What the connect script hands over, already checked by it and checked again here.
struct Orders
{
    QString server; // host or address, optionally with a port
    QString exitMeshIp;
    QString relay; // host:port of a UDP relay
    QString joinCode;
    QUrl controlPlane;
    QString pidFile; // where the connect script records us; its folder is root's, for our state
};

// Parses and checks the values of the command line; throws ApiError with a
// one-line reason.
Orders parseOrders(const QString &server, const QString &exitMeshIp, const QString &relay,
    const QString &joinCode, const QString &controlPlane, const QString &pidFile);

// The wg-quick configuration for a joined tunnel. Every value in it was parsed
// before, so nothing from the network can add a line of its own.
QByteArray tunnelConfig(const QByteArray &privateKey, const MeshJoin &join, const QString &endpoint);

// Brings one tunnel up, keeps it while the agent runs, and takes it down again.
class Agent : public QObject
{
public:
    static inline const QString interfaceName = QStringLiteral("cv0");

    explicit Agent(Orders orders, QObject *parent = nullptr);

    // Joins, brings the interface up and waits for the first handshake, over the
    // server and else over the relay. Throws ApiError with a one-line reason, after
    // taking down whatever it had set up.
    QCoro::Task<> up();

    // Removes the interface, its routes, rules and DNS entries, and the state files.
    void down();

    // Whether the interface still exists.
    bool interfaceExists() const;

    QString readyFile() const;

private:
    QCoro::Task<bool> awaitHandshake(std::chrono::milliseconds limit);
    QString configFile() const;
    QString folder() const;

    Orders m_orders;
    QString m_peerKey;
    bool m_configured = false;
    int m_table = 0; // wg-quick's table for a full tunnel
};

} // namespace corvanta::agent
