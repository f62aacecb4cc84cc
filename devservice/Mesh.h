#pragma once

#include "ExitNode.h"
#include "Relay.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

namespace corvanta::devservice {

class Sessions;

// The mesh behind "--mesh": a real exit node, the relay in front of it, and the
// control plane that lets the holder of a session's join code onto the exit as
// a WireGuard peer with an address of its own.
class Mesh
{
public:
    // Which prefixes a joining client is told to send through the tunnel.
    enum class Routes
    {
        MeshOnly, // 100.96.0.0/24: a demo must not take the machine's network away
        Everything, // 0.0.0.0/0: for tests inside namespaces
    };

    struct Reply
    {
        int status = 200;
        QJsonObject body;
    };

    static constexpr quint16 relayPort = 51821;

    explicit Mesh(Routes routes);
    ~Mesh();

    // Builds the exit and the relay; false, with error set, when that fails
    // (and then nothing is left behind).
    bool start(QString &error);

    // What ensure/status hand out in mesh mode, all but the join code.
    QJsonObject connectInfo(const QString &controlPlane) const;

    // POST /mesh/join with {"joinCode", "publicKey"}.
    Reply join(const QByteArray &body, const Sessions &sessions);
    // The session is gone: so is its peer.
    void leave(const QString &sessionId);

private:
    struct Peer
    {
        QString publicKey;
        int host = 0; // N of 100.96.0.N
    };

    int freeHost() const;

    Routes m_routes;
    ExitNode m_exit;
    Relay m_relay;
    QHash<QString, Peer> m_peers; // by session id
};

} // namespace corvanta::devservice
