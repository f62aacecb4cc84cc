#pragma once

// The JSON records the service replies with. Each is a plain value decoded
// strictly from a reply (see JsonReader); none is ever sent.

#include "JsonReader.h"

#include <QHostAddress>
#include <QMetaType>
#include <QString>

#include <optional>

namespace corvanta {

struct UserDTO
{
    static constexpr const char *recordName = "UserDTO";
    QString id;
    QString email;
    static UserDTO fromJson(const JsonReader &r);
};

struct AuthResponse
{
    static constexpr const char *recordName = "AuthResponse";
    QString token;
    UserDTO user;
    static AuthResponse fromJson(const JsonReader &r);
};

struct ExchangeResponse
{
    static constexpr const char *recordName = "ExchangeResponse";
    QString token;
    QString email;
    static ExchangeResponse fromJson(const JsonReader &r);
};

struct SSOLookup
{
    static constexpr const char *recordName = "SSOLookup";
    bool sso = false;
    std::optional<QString> domain;
    static SSOLookup fromJson(const JsonReader &r);
};

// Amounts are integer cents.
struct BillingAccount
{
    Q_GADGET
    Q_PROPERTY(qint64 balanceCents MEMBER balanceCents CONSTANT)
    Q_PROPERTY(bool subscriptionActive MEMBER subscriptionActive CONSTANT)
    Q_PROPERTY(qint64 pricePerHourCents MEMBER pricePerHourCents CONSTANT)
    Q_PROPERTY(qint64 subMonthlyCents MEMBER subMonthlyCents CONSTANT)

public:
    static constexpr const char *recordName = "BillingAccount";
    qint64 balanceCents = 0;
    bool subscriptionActive = false;
    std::optional<QString> subscriptionExpiresAt;
    qint64 pricePerHourCents = 0;
    qint64 subMonthlyCents = 0;
    static BillingAccount fromJson(const JsonReader &r);
    bool operator==(const BillingAccount &) const = default;
};

struct CheckoutResp
{
    static constexpr const char *recordName = "CheckoutResp";
    QString invoiceId;
    QString checkoutUrl;
    static CheckoutResp fromJson(const JsonReader &r);
};

// One location of the service. Views identify a region by `id`; equality
// compares all five fields.
struct Region
{
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id CONSTANT)
    Q_PROPERTY(QString country MEMBER country CONSTANT)
    Q_PROPERTY(QString city MEMBER city CONSTANT)
    Q_PROPERTY(QString flag MEMBER flag CONSTANT)
    Q_PROPERTY(QString status MEMBER status CONSTANT)
    Q_PROPERTY(bool online READ online CONSTANT)

public:
    static constexpr const char *recordName = "Region";
    QString id;
    QString country;
    QString city;
    QString flag;
    QString status;

    // Exact, case-sensitive: "Online" or "online " is not online.
    bool online() const { return status == QLatin1String("online"); }

    static Region fromJson(const JsonReader &r);
    bool operator==(const Region &) const = default;
};

size_t qHash(const Region &region, size_t seed = 0) noexcept;

struct ConnectInfo
{
    static constexpr const char *recordName = "ConnectInfo";
    QString server;
    QString controlPlane;
    QString relay;
    QString exitMeshIp;
    std::optional<QString> coreIp;
    QString joinCode;
    static ConnectInfo fromJson(const JsonReader &r);
};

struct EnsureResponse
{
    static constexpr const char *recordName = "EnsureResponse";
    std::optional<QString> sessionId;
    QString state;
    std::optional<ConnectInfo> connectInfo;
    static EnsureResponse fromJson(const JsonReader &r);
};

struct StatusResponse
{
    static constexpr const char *recordName = "StatusResponse";
    QString state;
    std::optional<ConnectInfo> connectInfo;
    std::optional<qint64> etaSeconds;
    static StatusResponse fromJson(const JsonReader &r);
};

// A strictly written IP address: four decimal octets without leading zeros, or
// IPv6 in any of its usual forms without a zone. Nothing else is an address.
std::optional<QHostAddress> parseIpAddress(const QString &text);

// The control plane's answer to a tunnel's join: our address in the mesh, the
// exit peer and what to route through it. Checked as it is decoded, since these
// values end up in a root-owned tunnel configuration.
struct MeshJoin
{
    static constexpr const char *recordName = "MeshJoin";
    QHostAddress meshIp;
    QString exitPublicKey; // base64 of a 32-byte key
    int exitPort = 0;
    QList<QPair<QHostAddress, int>> routes; // address prefixes
    QList<QHostAddress> dns;
    static MeshJoin fromJson(const JsonReader &r);
};

} // namespace corvanta

Q_DECLARE_METATYPE(corvanta::Region)
Q_DECLARE_METATYPE(corvanta::BillingAccount)
