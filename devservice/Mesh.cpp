#include "Mesh.h"

#include "Sessions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>

namespace corvanta::devservice {

namespace {
constexpr qsizetype maxBody = 4 * 1024;

Mesh::Reply problem(int status, const QString &text)
{
    return {status, QJsonObject {{QStringLiteral("message"), text}}};
}

// A WireGuard key as wg(8) writes it: the canonical base64 of exactly 32 bytes.
// This also keeps anything else out of the wg command line.
bool isWireGuardKey(const QString &text)
{
    if (text.size() != 44)
        return false;
    const QByteArray latin = text.toLatin1();
    const auto result = QByteArray::fromBase64Encoding(latin, QByteArray::AbortOnBase64DecodingErrors);
    return result && result.decoded.size() == 32 && result.decoded.toBase64() == latin;
}

QString meshIp(int host)
{
    return QStringLiteral("100.96.0.%1").arg(host);
}
} // namespace

Mesh::Mesh(Routes routes)
    : m_routes(routes)
    , m_relay(QHostAddress(ExitNode::exitAddress), ExitNode::wireGuardPort)
{ }

Mesh::~Mesh()
{
    for (const Peer &peer : std::as_const(m_peers))
        m_exit.removePeer(peer.publicKey);
}

bool Mesh::start(QString &error)
{
    if (!m_exit.setUp()) {
        error = m_exit.error();
        return false;
    }
    if (!m_relay.listen(QHostAddress(ExitNode::hostAddress), relayPort, error)) {
        m_exit.tearDown();
        return false;
    }
    return true;
}

QJsonObject Mesh::connectInfo(const QString &controlPlane) const
{
    return {
        {QStringLiteral("server"), ExitNode::exitAddress},
        {QStringLiteral("controlPlane"), controlPlane},
        {QStringLiteral("relay"), QStringLiteral("%1:%2").arg(ExitNode::hostAddress).arg(relayPort)},
        {QStringLiteral("exitMeshIp"), ExitNode::exitMeshIp},
        {QStringLiteral("coreIp"), ExitNode::exitMeshIp},
    };
}

Mesh::Reply Mesh::join(const QByteArray &body, const Sessions &sessions)
{
    if (body.size() > maxBody)
        return problem(400, QStringLiteral("the body is over 4 KiB"));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return problem(400, QStringLiteral("the body must be a JSON object"));
    const QJsonValue code = document.object().value(QLatin1String("joinCode"));
    const QJsonValue key = document.object().value(QLatin1String("publicKey"));
    if (!code.isString() || !key.isString())
        return problem(400, QStringLiteral("joinCode and publicKey must be text"));
    const QString publicKey = key.toString();
    if (!isWireGuardKey(publicKey) || publicKey == m_exit.publicKey())
        return problem(400, QStringLiteral("publicKey must be a WireGuard public key (base64 of 32 bytes)"));
    const Sessions::Session *session = sessions.findByJoinCode(code.toString());
    if (!session || !Sessions::isReady(*session))
        return problem(403, QStringLiteral("unknown join code"));

    // Joining again keeps the session's address and replaces its old key.
    const auto previous = m_peers.constFind(session->id);
    const int host = previous != m_peers.cend() ? previous->host : freeHost();
    if (host == 0)
        return problem(503, QStringLiteral("the mesh is full"));
    if (!m_exit.addPeer(publicKey, meshIp(host)))
        return problem(500, QStringLiteral("the exit did not take the peer"));
    if (previous != m_peers.cend() && previous->publicKey != publicKey)
        m_exit.removePeer(previous->publicKey);
    // A key is one device: another session that had it has lost it to this one.
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if (it.key() != session->id && it->publicKey == publicKey)
            it = m_peers.erase(it);
        else
            ++it;
    }
    m_peers.insert(session->id, Peer {publicKey, host});

    const QString routes
        = m_routes == Routes::Everything ? QStringLiteral("0.0.0.0/0") : ExitNode::meshPrefix;
    return {200,
        QJsonObject {
            {QStringLiteral("meshIp"), meshIp(host)},
            {QStringLiteral("exitPublicKey"), m_exit.publicKey()},
            {QStringLiteral("exitPort"), ExitNode::wireGuardPort},
            {QStringLiteral("routes"), QJsonArray {routes}},
            {QStringLiteral("dns"), QJsonArray {}},
        }};
}

void Mesh::leave(const QString &sessionId)
{
    const auto it = m_peers.constFind(sessionId);
    if (it == m_peers.cend())
        return;
    m_exit.removePeer(it->publicKey);
    m_peers.erase(it);
}

int Mesh::freeHost() const
{
    // 1 is the exit; the lowest free address from 2 on.
    for (int host = 2; host <= 254; ++host) {
        const bool taken = std::any_of(
            m_peers.cbegin(), m_peers.cend(), [host](const Peer &peer) { return peer.host == host; });
        if (!taken)
            return host;
    }
    return 0;
}

} // namespace corvanta::devservice
