#include "WireRecords.h"

#include <QHash>

namespace corvanta {

UserDTO UserDTO::fromJson(const JsonReader &r)
{
    return {r.text("id"), r.text("email")};
}

AuthResponse AuthResponse::fromJson(const JsonReader &r)
{
    return {r.text("token"), r.record<UserDTO>("user")};
}

ExchangeResponse ExchangeResponse::fromJson(const JsonReader &r)
{
    return {r.text("token"), r.text("email")};
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
    return {r.text("id"), r.text("country"), r.text("city"), r.text("flag"), r.text("status")};
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

} // namespace corvanta
