#include "DevService.h"

#include "Mesh.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

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

QJsonObject jsonBody(const QHttpServerRequest &request)
{
    return QJsonDocument::fromJson(request.body()).object();
}

QHttpServerResponse problems(const QStringList &texts, int status)
{
    const QJsonValue text
        = texts.size() == 1 ? QJsonValue(texts.first()) : QJsonValue(QJsonArray::fromStringList(texts));
    return QHttpServerResponse(QJsonObject {{QStringLiteral("message"), text}}, static_cast<Status>(status));
}

// A small page of the service's own, for the browser.
QHttpServerResponse page(const QString &title, const QString &body)
{
    const QString html = QStringLiteral(
        "<!doctype html><html><head><meta charset=\"utf-8\"><title>%1</title>"
        "<style>body{font-family:sans-serif;background:#0b1220;color:#e6edf7;display:flex;justify-content:"
        "center;"
        "padding-top:12vh}main{background:#141d2e;border-radius:14px;padding:32px 40px;max-width:420px}"
        "a.button,button{display:inline-block;background:#3ba8ff;color:#fff;border:0;border-radius:10px;"
        "padding:10px 22px;font-size:16px;text-decoration:none;cursor:pointer}p{color:#9fb0c8}</style></head>"
        "<body><main><h1>%1</h1>%2</main></body></html>")
                             .arg(title.toHtmlEscaped(), body);
    return QHttpServerResponse("text/html; charset=utf-8", html.toUtf8());
}

QHttpServerResponse redirect(const QString &location)
{
    QHttpServerResponse response(Status::Found);
    response.setHeader("Location", location.toUtf8());
    return response;
}

QString queryValue(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
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
    , m_browserSignIn(m_options.ssoDomains)
{
    addRegionRoutes();
    addConnectionRoutes();
    addAuthRoutes();
    addBillingRoutes();
    addBrowserSignInRoutes();
    answerUnknownPaths();
    if (m_options.logRequests)
        logRequests();
}

quint16 DevService::listen(const QHostAddress &address, quint16 port)
{
    const quint16 taken = m_server.listen(address, port);
    m_origin = QStringLiteral("http://%1:%2").arg(address.toString()).arg(taken);
    return taken;
}

void DevService::useMesh(Mesh *mesh)
{
    m_mesh = mesh;
    m_sessions.useConnectInfo(mesh->connectInfo(m_origin + QStringLiteral("/mesh")));
    addMeshRoutes();
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
            if (m_mesh)
                m_mesh->leave(sessionId);
            return QHttpServerResponse(QJsonObject {{QStringLiteral("released"), true}});
        });
}

void DevService::addAuthRoutes()
{
    m_server.route(QStringLiteral("/api/auth/<arg>"), QHttpServerRequest::Method::Post,
        [this](const QString &mode, const QHttpServerRequest &request) {
            const QJsonObject body = jsonBody(request);
            const QString email = body.value(QLatin1String("email")).toString();
            const QString password = body.value(QLatin1String("password")).toString();
            Accounts::Result result;
            if (mode == QLatin1String("register"))
                result = m_accounts.registerAccount(email, password);
            else if (mode == QLatin1String("login"))
                result = m_accounts.login(email, password);
            else
                return message(QStringLiteral("not found: POST /api/auth/%1").arg(mode), Status::NotFound);
            if (result.status != 200)
                return problems(result.problems, result.status);
            return QHttpServerResponse(QJsonObject {{QStringLiteral("token"), result.token},
                {QStringLiteral("user"),
                    QJsonObject {
                        {QStringLiteral("id"), QStringLiteral("usr_") + result.email.section('@', 0, 0)},
                        {QStringLiteral("email"), result.email}}}});
        });
}

void DevService::addBillingRoutes()
{
    using Method = QHttpServerRequest::Method;
    m_server.route(
        QStringLiteral("/api/billing/account"), Method::Get, [this](const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            return owner ? QHttpServerResponse(m_billing.account(*owner)) : notSignedIn();
        });

    m_server.route(QStringLiteral("/api/billing/<arg>"), Method::Post,
        [this](const QString &what, const QHttpServerRequest &request) {
            const auto owner = m_accounts.authorize(request);
            if (!owner)
                return notSignedIn();
            const QJsonValue amount = jsonBody(request).value(QLatin1String("amountCents"));
            const bool subscription = what == QLatin1String("subscribe");
            if (!subscription && what != QLatin1String("topup"))
                return message(QStringLiteral("not found: POST /api/billing/%1").arg(what), Status::NotFound);
            if (!subscription
                && (!amount.isDouble() || amount.toInteger() < 100 || amount.toInteger() > 100000))
                return message(QStringLiteral("amountCents must be a whole number from 100 to 100000"),
                    Status::UnprocessableEntity);
            const auto &invoice = m_billing.newInvoice(
                *owner, subscription ? Billing::subMonthlyCents : amount.toInteger(), subscription);
            return QHttpServerResponse(QJsonObject {{QStringLiteral("invoiceId"), invoice.id},
                {QStringLiteral("checkoutUrl"), m_origin + QStringLiteral("/checkout/") + invoice.id}});
        });

    m_server.route(QStringLiteral("/checkout/<arg>"), Method::Get, [this](const QString &id) {
        const Billing::Invoice *invoice = m_billing.invoice(id);
        if (!invoice)
            return page(
                QStringLiteral("Unknown invoice"), QStringLiteral("<p>This checkout link is not valid.</p>"));
        if (invoice->paid)
            return page(QStringLiteral("Already paid"), QStringLiteral("<p>You can close this tab.</p>"));
        const QString what = invoice->subscription ? QStringLiteral("Corvanta monthly subscription")
                                                   : QStringLiteral("Corvanta balance top-up");
        return page(QStringLiteral("Checkout"),
            QStringLiteral("<p>%1 for %2 (%3)</p><form method=\"post\" action=\"/checkout/%4/pay\">"
                           "<button type=\"submit\">Pay</button></form>"
                           "<p>Demo service: no money changes hands.</p>")
                .arg(what, QString::asprintf("$%.2f", invoice->amountCents / 100.0),
                    invoice->owner.toHtmlEscaped(), invoice->id));
    });

    m_server.route(QStringLiteral("/checkout/<arg>/pay"), Method::Post, [this](const QString &id) {
        if (!m_billing.pay(id))
            return page(QStringLiteral("Not paid"),
                QStringLiteral("<p>This invoice is unknown or already paid.</p>"));
        return page(QStringLiteral("Paid"),
            QStringLiteral("<p>Thank you. Sign in again in the Corvanta client to see the new balance. "
                           "You can close this tab.</p>"));
    });
}

void DevService::addBrowserSignInRoutes()
{
    using Method = QHttpServerRequest::Method;
    m_server.route(
        QStringLiteral("/api/auth/oidc/google/start"), Method::Get, [](const QHttpServerRequest &request) {
            const QString challenge
                = request.query().queryItemValue(QStringLiteral("app_challenge"), QUrl::FullyDecoded);
            return page(QStringLiteral("Sign in with Google"),
                QStringLiteral("<p>Demo sign-in as %1</p><a class=\"button\" id=\"continue\" "
                               "href=\"/api/auth/oidc/google/continue?challenge=%2\">Continue</a>")
                    .arg(Accounts::demoEmail, queryValue(challenge)));
        });

    m_server.route(QStringLiteral("/api/auth/oidc/google/continue"), Method::Get,
        [this](const QHttpServerRequest &request) {
            const QString challenge
                = request.query().queryItemValue(QStringLiteral("challenge"), QUrl::FullyDecoded);
            const QString code = m_browserSignIn.issueCode(Accounts::demoEmail, challenge);
            return redirect(QStringLiteral("corvanta://auth?code=") + code);
        });

    m_server.route(
        QStringLiteral("/api/auth/sso/lookup"), Method::Get, [this](const QHttpServerRequest &request) {
            const QString email = request.query().queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded);
            const auto domain = m_browserSignIn.ssoDomain(email);
            QJsonObject reply {{QStringLiteral("sso"), domain.has_value()}};
            if (domain)
                reply.insert(QStringLiteral("domain"), *domain);
            return QHttpServerResponse(reply);
        });

    m_server.route(
        QStringLiteral("/api/auth/sso/start"), Method::Get, [this](const QHttpServerRequest &request) {
            const QString email = request.query().queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded);
            const QString challenge
                = request.query().queryItemValue(QStringLiteral("app_challenge"), QUrl::FullyDecoded);
            const auto domain = m_browserSignIn.ssoDomain(email);
            if (!domain)
                return page(QStringLiteral("No company sign-in"),
                    QStringLiteral("<p>No SSO is configured for that domain.</p>"));
            return page(QStringLiteral("Company sign-in"),
                QStringLiteral("<p>%1 signs in through %2.</p><a class=\"button\" id=\"continue\" "
                               "href=\"/api/auth/sso/continue?email=%3&amp;challenge=%4\">Continue</a>")
                    .arg(email.toHtmlEscaped(), domain->toHtmlEscaped(), queryValue(email),
                        queryValue(challenge)));
        });

    m_server.route(
        QStringLiteral("/api/auth/sso/continue"), Method::Get, [this](const QHttpServerRequest &request) {
            const QString email = request.query().queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded);
            const QString challenge
                = request.query().queryItemValue(QStringLiteral("challenge"), QUrl::FullyDecoded);
            if (!m_browserSignIn.ssoDomain(email))
                return message(QStringLiteral("No SSO is configured for that domain"), Status::NotFound);
            return redirect(
                QStringLiteral("corvanta://auth?code=") + m_browserSignIn.issueCode(email, challenge));
        });

    m_server.route(
        QStringLiteral("/api/auth/oidc/exchange"), Method::Post, [this](const QHttpServerRequest &request) {
            const QJsonObject body = jsonBody(request);
            const auto email = m_browserSignIn.redeem(body.value(QLatin1String("code")).toString(),
                body.value(QLatin1String("app_verifier")).toString());
            if (!email)
                return message(QStringLiteral("invalid or expired code"), Status::BadRequest);
            return QHttpServerResponse(
                QJsonObject {{QStringLiteral("token"), m_accounts.tokenForBrowserSignIn(*email)},
                    {QStringLiteral("email"), *email}});
        });
}

void DevService::addMeshRoutes()
{
    m_server.route(QStringLiteral("/mesh/join"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request) {
            const Mesh::Reply reply = m_mesh->join(request.body(), m_sessions);
            return QHttpServerResponse(reply.body, static_cast<Status>(reply.status));
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
