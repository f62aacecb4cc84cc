// Connecting, provisioning, the heartbeat, disconnecting and the status refresh.

#include "AppModel.h"

#include "ConnectHelper.h"
#include "Heartbeat.h"
#include "PidProbe.h"
#include "TunnelWatcher.h"

#include <QCoroTimer>

namespace corvanta {

namespace {
constexpr int maxPolls = 45;
const QString ready = QStringLiteral("ready");

ApiError connectionError(const QString &text)
{
    return ApiError(ApiError::serviceDomain, 0, text);
}

// Request bodies are built before the co_await that sends them: g++ 12 rejects
// braced initializer lists inside a co_await expression.
AppModel::TextMap sessionBody(const QString &sessionId)
{
    return {{QStringLiteral("sessionId"), sessionId}};
}

QString regionPath(const QString &regionId, const QString &rest)
{
    // One path segment whatever the id holds (the list refuses odd ids already).
    return QStringLiteral("/api/regions/") + QString::fromLatin1(QUrl::toPercentEncoding(regionId)) + rest;
}
} // namespace

QCoro::Task<> AppModel::connect()
{
    if (!m_selected || !m_selected->online())
        co_return;
    const QString regionId = m_selected->id;
    const int attempt = ++m_connectAttempt;
    setErrorMsg(std::nullopt);
    setBusy(true);
    setState(ConnState::connecting);
    setConnectCancellable(true);

    try {
        const TextMap body = sessionBody(m_sessionId.value_or(QString()));
        const auto ensure
            = co_await post<EnsureResponse>(regionPath(regionId, QStringLiteral("/ensure")), body, true);
        if (attempt != m_connectAttempt)
            co_return; // called off meanwhile
        if (ensure.sessionId)
            m_sessionId = ensure.sessionId;
        std::optional<ConnectInfo> info = ensure.connectInfo;
        if (ensure.state != ready) {
            setState(ConnState::provisioning);
            info = co_await pollReady(regionId, attempt);
        }
        if (!info)
            throw connectionError(QStringLiteral("no connection info"));

        // From here on the tunnel is being made: it runs to its end.
        setConnectCancellable(false);
        co_await ensureHelperInstalled(m_paths);
        // The script's order, not the record's: coreIp is never passed.
        QStringList up;
        up << QStringLiteral("up") << info->server << info->exitMeshIp << info->relay << info->joinCode
           << info->controlPlane;
        co_await runHelper(m_paths, up);

        setExitIP(info->server);
        m_defaults->setValue(exitKey, info->server);
        setState(ConnState::connected);
        startHeartbeat(regionId);
        setBusy(false);
    } catch (const ApiError &error) {
        if (attempt != m_connectAttempt)
            co_return; // called off: the user has moved on
        setConnectCancellable(false);
        // Nothing is undone: the server stays ensured and the session id is kept.
        setErrorMsg(error.description(), QStringLiteral("connection"));
        setState(ConnState::failed);
        setBusy(false);
    }
}

QCoro::Task<ConnectInfo> AppModel::pollReady(QString regionId, int attempt)
{
    for (int poll = 0; poll < maxPolls; ++poll) {
        co_await QCoro::sleepFor(m_timing.pollInterval);
        if (attempt != m_connectAttempt)
            throw connectionError(QStringLiteral("cancelled"));
        const auto status = co_await get<StatusResponse>(
            regionPath(regionId, QStringLiteral("/status?sessionId=") + m_sessionId.value_or(QString())),
            true);
        if (status.state == ready && status.connectInfo)
            co_return *status.connectInfo;
        if (status.state == QLatin1String("error"))
            throw connectionError(QStringLiteral("provisioning failed"));
    }
    throw connectionError(QStringLiteral("provisioning timed out"));
}

void AppModel::startHeartbeat(const QString &regionId)
{
    if (m_heartbeat)
        m_heartbeat->cancel();
    m_heartbeat = std::make_shared<Heartbeat>(m_timing.heartbeatInterval);
    heartbeatLoop(this, m_heartbeat, regionId); // runs on by itself
}

QCoro::Task<> AppModel::heartbeatLoop(
    QPointer<AppModel> model, std::shared_ptr<Heartbeat> heartbeat, QString regionId)
{
    while (!heartbeat->isCancelled()) {
        // A cancel cuts the wait short but does not end the loop here, so a
        // disconnect is followed by one last beat while the session is known.
        co_await heartbeat->wait();
        if (!model || !model->m_sessionId)
            co_return;
        try {
            const TextMap body = sessionBody(*model->m_sessionId);
            co_await model->postRaw(regionPath(regionId, QStringLiteral("/heartbeat")), body, true);
        } catch (const ApiError &) {
            // A missed beat is not the user's concern; the next one follows on time.
        }
    }
}

QCoro::Task<> AppModel::disconnect()
{
    setBusy(true);
    // The tunnel is about to go away on purpose: that is no lost connection.
    m_disconnecting = true;
    m_watcher->disarm();
    if (m_heartbeat) {
        m_heartbeat->cancel();
        m_heartbeat.reset();
    }
    try {
        const QStringList down {QStringLiteral("down")};
        co_await runHelper(m_paths, down);
    } catch (const ApiError &) {
        // The tunnel may already be gone; the disconnect goes on regardless.
    }
    if (m_sessionId && m_selected) {
        try {
            const TextMap body = sessionBody(*m_sessionId);
            co_await postRaw(regionPath(m_selected->id, QStringLiteral("/release")), body, true);
        } catch (const ApiError &) {
            // The service frees unused servers by itself when heartbeats stop.
        }
    }
    setExitIP(std::nullopt);
    m_defaults->remove(exitKey);
    m_disconnecting = false;
    setState(ConnState::disconnected);
    setBusy(false);
}

void AppModel::toggle()
{
    switch (m_state) {
    case ConnState::connected:
        disconnect();
        break;
    case ConnState::connecting:
        break;
    case ConnState::disconnected:
    case ConnState::provisioning:
    case ConnState::failed:
        connect();
        break;
    }
}

void AppModel::setConnectCancellable(bool cancellable)
{
    m_connectCancellable = cancellable;
    emit connectCancellableChanged();
}

void AppModel::cancelConnect()
{
    if (!m_connectCancellable)
        return;
    ++m_connectAttempt;
    setConnectCancellable(false);
    setState(ConnState::disconnected);
    setBusy(false);
}

void AppModel::refreshStatus()
{
    if (m_disconnecting)
        return; // the state follows when the disconnect is done
    const bool running = tunnelRunning(m_paths.pidFile);
    if (running && m_state != ConnState::connected) {
        setState(ConnState::connected);
    } else if (!running && m_state == ConnState::connected) {
        // Gone without a disconnect: no server to keep alive any more.
        if (m_heartbeat) {
            m_heartbeat->cancel();
            m_heartbeat.reset();
        }
        setState(ConnState::disconnected);
        // Said where the user looks next, not only in a notification that may pass unseen.
        setErrorMsg(QStringLiteral("The connection was lost: your traffic is no longer protected."),
            QStringLiteral("connection"));
        emit connectionLost();
    } else if (running) {
        m_watcher->arm(); // the file may now name another process
    }
}

} // namespace corvanta
