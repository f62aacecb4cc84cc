#include "WireRecords.h"

#include <QRegularExpression>

#include <QHash>

#include <algorithm>

namespace corvanta {

namespace {
// The bearer token goes into a header line: printable ASCII without blanks only.
QString plainToken(const JsonReader &r)
{
    const QString token = r.text(QStringLiteral("token"));
    const bool plain = !token.isEmpty() && std::all_of(token.cbegin(), token.cend(), [](QChar c) {
        return c.unicode() > 0x20 && c.unicode() < 0x7F;
    });
    if (!plain)
        JsonReader::fail(r.where() + QStringLiteral(": key \"token\" must be a plain token"));
    return token;
}

// A region id goes into request paths: no separators, dot-segments or control characters.
QString safeRegionId(const JsonReader &r)
{
    const QString id = r.text(QStringLiteral("id"));
    const bool odd = id.isEmpty() || id.contains(QLatin1String(".."))
        || std::any_of(id.cbegin(), id.cend(), [](QChar c) {
               return c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#')
                   || c == QLatin1Char('\\') || c.category() == QChar::Other_Control;
           });
    if (odd)
        JsonReader::fail(r.where() + QStringLiteral(": key \"id\" is not a plain id"));
    return id;
}
} // namespace

UserDTO UserDTO::fromJson(const JsonReader &r)
{
    return {r.text("id"), r.text("email")};
}

AuthResponse AuthResponse::fromJson(const JsonReader &r)
{
    return {plainToken(r), r.record<UserDTO>("user")};
}

ExchangeResponse ExchangeResponse::fromJson(const JsonReader &r)
{
    return {plainToken(r), r.text("email")};
}

SSOLookup SSOLookup::fromJson(const JsonReader &r)
{
    return {r.boolean("sso"), r.optionalText("domain")};
}

BillingAccount BillingAccount::fromJson(const JsonReader &r)
{
    BillingAccount a;
    a.balanceCents = r.integer("balanceCents");
    a.subscriptionActive = r.boolean("subscriptionActive");
    a.subscriptionExpiresAt = r.optionalText("subscriptionExpiresAt");
    a.pricePerHourCents = r.integer("pricePerHourCents");
    a.subMonthlyCents = r.integer("subMonthlyCents");
    return a;
}

CheckoutResp CheckoutResp::fromJson(const JsonReader &r)
{
    return {r.text("invoiceId"), r.text("checkoutUrl")};
}

Region Region::fromJson(const JsonReader &r)
{
    return {safeRegionId(r), r.text("country"), r.text("city"), r.text("flag"), r.text("status")};
}

size_t qHash(const Region &region, size_t seed) noexcept
{
    return qHashMulti(seed, region.id, region.country, region.city, region.flag, region.status);
}

ConnectInfo ConnectInfo::fromJson(const JsonReader &r)
{
    ConnectInfo c;
    c.server = r.text("server");
    c.controlPlane = r.text("controlPlane");
    c.relay = r.text("relay");
    c.exitMeshIp = r.text("exitMeshIp");
    c.coreIp = r.optionalText("coreIp");
    c.joinCode = r.text("joinCode");
    return c;
}

EnsureResponse EnsureResponse::fromJson(const JsonReader &r)
{
    EnsureResponse e;
    e.sessionId = r.optionalText("sessionId");
    e.state = r.text("state");
    e.connectInfo = r.optionalRecord<ConnectInfo>("connectInfo");
    return e;
}

StatusResponse StatusResponse::fromJson(const JsonReader &r)
{
    StatusResponse s;
    s.state = r.text("state");
    s.connectInfo = r.optionalRecord<ConnectInfo>("connectInfo");
    s.etaSeconds = r.optionalInteger("etaSeconds");
    return s;
}

std::optional<QHostAddress> parseIpAddress(const QString &text)
{
    static const QRegularExpression v4(QStringLiteral("^((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                                                      "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])$"));
    static const QRegularExpression v6(QStringLiteral("^[0-9A-Fa-f:.]{2,45}$"));
    const bool plausible
        = text.contains(QLatin1Char(':')) ? v6.match(text).hasMatch() : v4.match(text).hasMatch();
    QHostAddress address;
    if (!plausible || !address.setAddress(text))
        return std::nullopt;
    return address;
}

MeshJoin MeshJoin::fromJson(const JsonReader &r)
{
    const auto bad = [&r](const char *key, const char *expected) {
        JsonReader::fail(QStringLiteral("%1: key \"%2\" must be %3")
                             .arg(r.where(), QLatin1String(key), QLatin1String(expected)));
    };
    MeshJoin join;
    const auto meshIp = parseIpAddress(r.text(QStringLiteral("meshIp")));
    if (!meshIp)
        bad("meshIp", "an IP address");
    join.meshIp = *meshIp;
    join.exitPublicKey = r.text(QStringLiteral("exitPublicKey"));
    static const QRegularExpression key(QStringLiteral("^[A-Za-z0-9+/]{42}[AEIMQUYcgkosw048]=$"));
    if (!key.match(join.exitPublicKey).hasMatch())
        bad("exitPublicKey", "a WireGuard key");
    const qint64 port = r.integer(QStringLiteral("exitPort"));
    if (port < 1 || port > 65535)
        bad("exitPort", "a port from 1 to 65535");
    join.exitPort = static_cast<int>(port);
    for (const QString &route : r.texts(QStringLiteral("routes"))) {
        const qsizetype slash = route.indexOf(QLatin1Char('/'));
        const auto address = parseIpAddress(route.left(slash));
        const QString length = route.mid(slash + 1);
        const int maxLength = address && address->protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
        if (slash < 0 || !address || !digits.match(length).hasMatch() || length.toInt() > maxLength)
            bad("routes", "address prefixes");
        join.routes.append({*address, length.toInt()});
    }
    if (join.routes.isEmpty())
        bad("routes", "address prefixes");
    for (const QString &server : r.optionalTexts(QStringLiteral("dns"))) {
        const auto address = parseIpAddress(server);
        if (!address)
            bad("dns", "IP addresses");
        join.dns.append(*address);
    }
    return join;
}

} // namespace corvanta
