#include "DevService.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace corvanta::devservice {

namespace {
using Status = QHttpServerResponder::StatusCode;

QHttpServerResponse message(const QString &text, Status status)
{
    return QHttpServerResponse(QJsonObject {{QStringLiteral("message"), text}}, status);
}

QHttpServerResponse notSignedIn()
{
    return message(QStringLiteral("sign in to continue"), Status::Unauthorized);
}

QString methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return QStringLiteral("GET");
    case QHttpServerRequest::Method::Post:
        return QStringLiteral("POST");
    case QHttpServerRequest::Method::Put:
        return QStringLiteral("PUT");
    case QHttpServerRequest::Method::Delete:
        return QStringLiteral("DELETE");
    default:
        return QStringLiteral("request");
    }
}

// The "sessionId" text of a JSON request body, or none when the body is not such an object.
std::optional<QString> sessionIdFromBody(const QHttpServerRequest &request)
{
    const QJsonValue value
        = QJsonDocument::fromJson(request.body()).object().value(QLatin1String("sessionId"));
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}
} // namespace

DevService::DevService(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_sessions(m_options.provisionDelay)
{
    addRegionRoutes();
    addConnectionRoutes();
    answerUnknownPaths();
    if (m_options.logRequests)
        logRequests();
}

quint16 DevService::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

std::optional<QJsonObject> DevService::region(const QString &id) const
{
    for (const QJsonValue &value : m_options.regions) {
        if (value.toObject().value(QLatin1String("id")).toString() == id)
            return value.toObject();
    }
    return std::nullopt;
}

void DevService::addRegionRoutes()
{
    m_server.route(QStringLiteral("/api/regions"), QHttpServerRequest::Method::Get,
        [this] { return QHttpServerResponse(m_options.regions); });
}

void DevService::addConnectionRoutes()
{
    using Method = QHttpServerRequest::Method;

    m_server.route(QStringLiteral("/api/regions/<arg>/ensure"), Method::Post,
        [this](const QString &regionId, const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            if (!owner)
                return notSignedIn();
            const auto place = region(regionId);
            if (!place)
                return message(QStringLiteral("unknown region"), Status::NotFound);
            if (place->value(QLatin1String("status")).toString() != QLatin1String("online"))
                return message(QStringLiteral("%1 is not available yet")
                                   .arg(place->value(QLatin1String("city")).toString()),
                    Status::NotFound);
            const auto requested = sessionIdFromBody(request);
            if (!requested)
                return message(QStringLiteral("sessionId must be text"), Status::BadRequest);

            const Sessions::Session &session = m_sessions.ensure(*owner, regionId, *requested);
            QJsonObject reply {{QStringLiteral("sessionId"), session.id}};
            if (Sessions::isReady(session)) {
                reply.insert(QStringLiteral("state"), QStringLiteral("ready"));
                reply.insert(QStringLiteral("connectInfo"), session.connectInfo);
            } else {
                reply.insert(QStringLiteral("state"), QStringLiteral("provisioning"));
            }
            return QHttpServerResponse(reply);
        });

    m_server.route(QStringLiteral("/api/regions/<arg>/status"), Method::Get,
        [this](const QString &regionId, const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            if (!owner)
                return notSignedIn();
            const QString sessionId = request.query().queryItemValue(QStringLiteral("sessionId"));
            const Sessions::Session *session = m_sessions.find(*owner, regionId, sessionId);
            if (!session)
                return message(QStringLiteral("unknown session"), Status::NotFound);
            if (!Sessions::isReady(*session))
                return QHttpServerResponse(
                    QJsonObject {{QStringLiteral("state"), QStringLiteral("provisioning")},
                        {QStringLiteral("etaSeconds"), Sessions::secondsLeft(*session)}});
            return QHttpServerResponse(QJsonObject {{QStringLiteral("state"), QStringLiteral("ready")},
                {QStringLiteral("connectInfo"), session->connectInfo}});
        });

    m_server.route(QStringLiteral("/api/regions/<arg>/heartbeat"), Method::Post,
        [this](const QString &regionId, const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            if (!owner)
                return notSignedIn();
            Sessions::Session *session
                = m_sessions.find(*owner, regionId, sessionIdFromBody(request).value_or(QString()));
            if (!session)
                return message(QStringLiteral("unknown session"), Status::NotFound);
            ++session->heartbeats;
            return QHttpServerResponse(QJsonObject {{QStringLiteral("ok"), true}});
        });

    m_server.route(QStringLiteral("/api/regions/<arg>/release"), Method::Post,
        [this](const QString &regionId, const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            if (!owner)
                return notSignedIn();
            const QString sessionId = sessionIdFromBody(request).value_or(QString());
            if (!m_sessions.find(*owner, regionId, sessionId))
                return message(QStringLiteral("unknown session"), Status::NotFound);
            m_sessions.release(sessionId);
            return QHttpServerResponse(QJsonObject {{QStringLiteral("released"), true}});
        });
}

void DevService::answerUnknownPaths()
{
    m_server.setMissingHandler([](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        const QString text
            = QStringLiteral("not found: %1 %2").arg(methodName(request.method()), request.url().path());
        responder.write(
            QJsonDocument(QJsonObject {{QStringLiteral("message"), text}}).toJson(QJsonDocument::Compact),
            "application/json", Status::NotFound);
    });
}

void DevService::logRequests()
{
    m_server.afterRequest([](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        std::printf("%s %s -> %d\n", qPrintable(methodName(request.method())),
            qPrintable(request.url().path()), static_cast<int>(response.statusCode()));
        std::fflush(stdout);
        return std::move(response);
    });
}

} // namespace corvanta::devservice
