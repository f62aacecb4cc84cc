// The request layer of AppModel: building, sending and checking requests.

#include "AppModel.h"

#include "HttpClient.h"
#include "Log.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvanta {

namespace {

// Only absolute http(s) addresses with a host are ever sent; anything else (an
// empty base, a base without a scheme, a path with stray characters) fails here.
bool isSendable(const QUrl &url)
{
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"))
        && !url.host().isEmpty();
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(0) == b.port(0);
}

constexpr int maxRedirects = 5;

} // namespace

QCoro::Task<QByteArray> AppModel::send(
    QString path, std::optional<QByteArray> body, bool auth, qint64 maxBytes)
{
    http::Request request {requestUrl(path), body ? "POST" : "GET", {}, body.value_or(QByteArray())};
    if (body)
        request.fields.emplaceBack("Content-Type", "application/json");
    const std::optional<QString> sentToken = auth ? m_token : std::nullopt;
    if (sentToken)
        request.fields.emplaceBack("Authorization", "Bearer " + sentToken->toUtf8());
    const http::Limits limits {maxBytes, m_timing.requestTimeout, m_timing.requestDeadline};

    // Method, path and status only: queries, bodies and tokens stay out of the log.
    QElapsedTimer clock;
    clock.start();
    const auto exchange = [&]() -> QCoro::Task<http::Response> {
        try {
            http::Response response = co_await http::exchange(request, limits, m_exchanges);
            qCDebug(lcRequests).noquote() << request.method << request.url.path() << "->"
                                          << response.head.status << "in" << clock.elapsed() << "ms";
            co_return response;
        } catch (const ApiError &error) {
            qCDebug(lcRequests).noquote() << request.method << request.url.path() << "failed in"
                                          << clock.elapsed() << "ms:" << error.description();
            throw;
        }
    };

    http::Response reply = co_await exchange();
    for (int hops = 0; isRedirect(reply.head.status) && !reply.head.field("location").isEmpty(); ++hops) {
        const QUrl next
            = request.url.resolved(QUrl(QString::fromUtf8(reply.head.field("location")), QUrl::StrictMode));
        if (!isSendable(next) || hops == maxRedirects)
            throw ApiError(ApiError::networkDomain, reply.head.status,
                QStringLiteral("the service redirected the request to an invalid address"));
        // A token, or a body with a password, a code or a verifier in it, never
        // goes to another origin; nothing goes from https to plain http.
        if ((!isSameOrigin(request.url, next) && (sentToken || body))
            || (request.url.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https")))
            throw ApiError(ApiError::networkDomain, reply.head.status,
                QStringLiteral("the service redirected the request to another site; it was not followed"));
        request.url = next;
        if (reply.head.status == 303 || (request.method == "POST" && reply.head.status < 303)) {
            request.method = "GET";
            request.body.clear();
            request.fields.removeIf([](const auto &field) { return field.first == "Content-Type"; });
        }
        reply = co_await exchange();
    }

    // The token we sent is no longer good: the user must sign in again. Only the
    // token of this request counts, not one a newer sign-in has put in its place.
    if (reply.head.status == 401 && sentToken && sentToken == m_token) {
        endSession();
        throw ApiError(ApiError::serviceDomain, 401, sessionEndedText);
    }
    check(reply.head.status, reply.body);
    co_return reply.body;
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
