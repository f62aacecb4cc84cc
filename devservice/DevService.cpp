#include "DevService.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvanta::devservice {

namespace {
QJsonObject message(const QString &text)
{
    return {{QStringLiteral("message"), text}};
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
} // namespace

DevService::DevService(QJsonArray regions, QObject *parent)
    : QObject(parent)
    , m_regions(std::move(regions))
{
    addRegionRoutes();
    answerUnknownPaths();
}

quint16 DevService::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

void DevService::addRegionRoutes()
{
    m_server.route(QStringLiteral("/api/regions"), QHttpServerRequest::Method::Get,
                   [this] { return QHttpServerResponse(m_regions); });
}

void DevService::answerUnknownPaths()
{
    m_server.setMissingHandler([](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        const QString text = QStringLiteral("not found: %1 %2").arg(methodName(request.method()), request.url().path());
        responder.write(QJsonDocument(message(text)).toJson(QJsonDocument::Compact), "application/json",
                        QHttpServerResponder::StatusCode::NotFound);
    });
}

} // namespace corvanta::devservice
