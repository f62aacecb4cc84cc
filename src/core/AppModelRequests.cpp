// The request layer of AppModel: building, sending and checking requests.

#include "AppModel.h"

#include <QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace corvanta {

namespace {

// Only absolute http(s) addresses with a host are ever sent; anything else (an
// empty base, a base without a scheme, a path with stray characters) fails here.
bool isSendable(const QUrl &url)
{
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"))
        && !url.host().isEmpty();
}

// A reply that failed below HTTP (no route, refused, TLS, time-out), or a redirect
// that was not followed. Other replies carry a status for check(), whatever error
// Qt gave them (it calls a 400 an "invalid operation", for one).
bool isTransportFailure(const QNetworkReply &reply)
{
    switch (reply.error()) {
    case QNetworkReply::NoError:
        return false;
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::OperationCanceledError: // cut off: whatever came is incomplete
        return true;
    default:
        return !reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    }
}

QString transportErrorText(const QNetworkReply &reply)
{
    switch (reply.error()) {
    case QNetworkReply::OperationCanceledError:
        // A time-out: Qt's (silence) or our deadline. A reply too large is told apart before.
        return QStringLiteral("the service did not answer in time");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("the service redirected the request to another site; it was not followed");
    default:
        return reply.errorString();
    }
}

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

} // namespace

QCoro::Task<QByteArray> AppModel::send(QString path, std::optional<QByteArray> body, bool auth, qint64 maxBytes)
{
    QNetworkRequest request(requestUrl(path));
    request.setTransferTimeout(static_cast<int>(m_timing.requestTimeout.count()));
    if (body)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const std::optional<QString> sentToken = auth ? m_token : std::nullopt;
    if (sentToken)
        request.setRawHeader("Authorization", "Bearer " + sentToken->toUtf8());
    // Qt's default policy would take the token, or a body with a password, a code or
    // a verifier in it, along to another origin (a 307 or 308 keeps the body).
    if (sentToken || body)
        request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);

    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        body ? m_network->post(request, *body) : m_network->get(request));
    // Bounded in size and in time, whatever the other end does.
    QNetworkReply *pending = reply.get();
    QObject::connect(pending, &QNetworkReply::downloadProgress, pending, [pending, maxBytes](qint64 received) {
        if (received > maxBytes) {
            pending->setProperty("tooLarge", true);
            pending->abort();
        }
    });
    QTimer::singleShot(m_timing.requestDeadline, pending, [pending] {
        if (pending->isRunning())
            pending->abort();
    });
    co_await reply.get();

    if (reply->property("tooLarge").toBool())
        throw ApiError(ApiError::networkDomain, QNetworkReply::OperationCanceledError,
            QStringLiteral("the service's reply was too large"));
    if (isTransportFailure(*reply))
        throw ApiError(ApiError::networkDomain, reply->error(), transportErrorText(*reply));
    const QByteArray data = reply->readAll();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // The token we sent is no longer good: the user must sign in again. Only the
    // token of this request counts, not one a newer sign-in has put in its place.
    if (status.toInt() == 401 && sentToken && sentToken == m_token) {
        endSession();
        throw ApiError(ApiError::serviceDomain, 401, sessionEndedText);
    }
    if (status.isValid())
        check(status.toInt(), data);
    co_return data;
}

QUrl AppModel::requestUrl(const QString &path) const
{
    const QString address = m_base + path;
    const QUrl url(address, QUrl::StrictMode);
    if (!isSendable(url))
        throw ApiError(
            ApiError::serviceDomain, 0, QStringLiteral("invalid service address \"%1\"").arg(address));
    return url;
}

QCoro::Task<> AppModel::postRaw(QString path, TextMap body, bool auth)
{
    co_await send(path, jsonBody(body), auth);
}

void AppModel::check(int status, const QByteArray &data)
{
    if (status >= 200 && status < 300)
        return;
    QString message = QStringLiteral("request failed (%1)").arg(status);

    const QJsonDocument doc = QJsonDocument::fromJson(data);
    const QJsonValue text = doc.object().value(QLatin1String("message"));
    if (text.isString()) {
        message = text.toString();
    } else if (text.isArray()) {
        const QJsonArray parts = text.toArray();
        QStringList texts;
        for (const QJsonValue &part : parts) {
            if (!part.isString())
                break;
            texts.append(part.toString());
        }
        if (texts.size() == parts.size())
            message = texts.join(QLatin1String(", "));
    }
    if (message.size() > maxErrorText) {
        qsizetype cut = maxErrorText;
        if (message.at(cut - 1).isHighSurrogate())
            --cut; // never half a character
        message = message.left(cut) + QStringLiteral("…");
    }
    throw ApiError(ApiError::serviceDomain, status, message);
}

QByteArray AppModel::jsonBody(const TextMap &body)
{
    QJsonObject object;
    for (auto it = body.cbegin(); it != body.cend(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray AppModel::jsonBody(const IntegerMap &body)
{
    QJsonObject object;
    for (auto it = body.cbegin(); it != body.cend(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace corvanta
