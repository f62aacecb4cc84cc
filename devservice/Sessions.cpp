#include "Sessions.h"

#include "Accounts.h"

#include <cmath>

namespace corvanta::devservice {

Sessions::Sessions(std::chrono::milliseconds provisionDelay)
    : m_provisionDelay(provisionDelay)
{ }

Sessions::Session &Sessions::ensure(const QString &owner, const QString &regionId, const QString &sessionId)
{
    if (Session *existing = find(owner, regionId, sessionId))
        return *existing;
    Session session;
    session.id = QStringLiteral("sess-") + randomToken(16);
    session.owner = owner;
    session.regionId = regionId;
    session.readyAt = QDateTime::currentDateTimeUtc().addMSecs(m_provisionDelay.count());
    session.connectInfo = newConnectInfo(regionId);
    m_sessionByJoinCode.insert(session.connectInfo.value(QLatin1String("joinCode")).toString(), session.id);
    return *m_sessions.insert(session.id, session);
}

Sessions::Session *Sessions::find(const QString &owner, const QString &regionId, const QString &sessionId)
{
    const auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end() || it->owner != owner || it->regionId != regionId)
        return nullptr;
    return &*it;
}

const Sessions::Session *Sessions::findByJoinCode(const QString &joinCode) const
{
    const auto it = m_sessions.constFind(m_sessionByJoinCode.value(joinCode));
    return it == m_sessions.cend() ? nullptr : &*it;
}

void Sessions::release(const QString &sessionId)
{
    const auto it = m_sessions.constFind(sessionId);
    if (it == m_sessions.cend())
        return;
    m_sessionByJoinCode.remove(it->connectInfo.value(QLatin1String("joinCode")).toString());
    m_sessions.erase(it);
}

int Sessions::secondsLeft(const Session &session)
{
    const qint64 ms = QDateTime::currentDateTimeUtc().msecsTo(session.readyAt);
    return ms <= 0 ? 0 : static_cast<int>(std::ceil(ms / 1000.0));
}

QJsonObject Sessions::newConnectInfo(const QString &regionId)
{
    if (!m_fixedConnectInfo.isEmpty()) {
        QJsonObject info = m_fixedConnectInfo;
        info.insert(QStringLiteral("joinCode"), randomToken(24));
        return info;
    }
    // Documentation addresses (RFC 5737) and the shared mesh range (RFC 6598).
    const int n = 10 + (m_servers++ % 240);
    return {
        {QStringLiteral("server"), QStringLiteral("198.51.100.%1").arg(n)},
        {QStringLiteral("controlPlane"), QStringLiteral("https://control.corvanta.test")},
        {QStringLiteral("relay"), QStringLiteral("relay-%1.corvanta.test:443").arg(regionId)},
        {QStringLiteral("exitMeshIp"), QStringLiteral("100.64.0.%1").arg(n)},
        {QStringLiteral("coreIp"), QStringLiteral("100.64.0.1")},
        {QStringLiteral("joinCode"), randomToken(24)},
    };
}

} // namespace corvanta::devservice
