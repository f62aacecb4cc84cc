#include "Agent.h"

#include "ApiError.h"
#include "AppModel.h"
#include "HttpClient.h"
#include "PidProbe.h"

#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <unistd.h>

namespace corvanta::agent {

namespace {

using namespace std::chrono_literals;

constexpr auto handshakeOverServer = 5s;
constexpr auto handshakeOverRelay = 11s; // WireGuard retries a handshake every 5 s
constexpr qint64 maxJoinReplyBytes = 64 * 1024;

[[noreturn]] void refuse(const QString &what)
{
    throw ApiError(ApiError::serviceDomain, 0, what);
}

void say(const QString &line)
{
    std::fprintf(stderr, "corvanta-agent: %s\n", qPrintable(line));
}

bool isHostName(const QString &text)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (text.isEmpty() || text.size() > 253 || !text.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))))
        return false;
    const QStringList labels = text.split(QLatin1Char('.'));
    return std::all_of(
        labels.begin(), labels.end(), [](const QString &l) { return label.match(l).hasMatch(); });
}

// "host", "host:port", "1.2.3.4:port" or "[v6]:port" into an endpoint text for
// WireGuard; the port is the given one when the text has none.
std::optional<QString> endpointOf(const QString &text, std::optional<int> defaultPort)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9.-]+))(?::([1-9][0-9]{0,4}))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const int port = m.captured(3).isEmpty() ? defaultPort.value_or(0) : m.captured(3).toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    if (!m.captured(1).isEmpty()) {
        const auto v6 = parseIpAddress(m.captured(1));
        if (!v6 || v6->protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        return QStringLiteral("[%1]:%2").arg(v6->toString()).arg(port);
    }
    const QString host = m.captured(2);
    if (const auto v4 = parseIpAddress(host))
        return QStringLiteral("%1:%2").arg(v4->toString()).arg(port);
    if (!isHostName(host))
        return std::nullopt;
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// Plain http only where nobody else can listen in: this machine or a private network.
bool mayUsePlainHttp(const QString &host)
{
    const auto address = parseIpAddress(host);
    if (!address)
        return false;
    const auto in = [&](const char *prefix, int length) {
        return address->isInSubnet(QHostAddress(QString::fromLatin1(prefix)), length);
    };
    return address->isLoopback() || address->isLinkLocal() || in("10.0.0.0", 8) || in("172.16.0.0", 12)
        || in("192.168.0.0", 16) || in("100.64.0.0", 10) || in("fc00::", 7);
}

struct Ran
{
    bool ok;
    QByteArray out;
    QString reason; // the last line it wrote on standard error
};

// Runs a system tool with a fixed environment; nothing goes through a shell.
Ran run(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    QProcess process;
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    env.insert(QStringLiteral("WG_QUICK_USERSPACE_IMPLEMENTATION"), QStringLiteral("wireguard-go"));
    env.insert(QStringLiteral("WG_ENDPOINT_RESOLUTION_RETRIES"), QStringLiteral("3"));
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30'000)) {
        process.kill();
        process.waitForFinished();
    }
    const QStringList lines
        = QString::fromUtf8(process.readAllStandardError()).trimmed().split(QLatin1Char('\n'));
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    QString reason = lines.last().trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("%1 failed").arg(program);
    return {ok, process.readAllStandardOutput(), reason.left(300)};
}

} // namespace

Orders parseOrders(const QString &server, const QString &exitMeshIp, const QString &relay,
    const QString &joinCode, const QString &controlPlane, const QString &pidFile)
{
    Orders orders {server, exitMeshIp, relay, joinCode, QUrl(controlPlane, QUrl::StrictMode), pidFile};
    if (!endpointOf(server, 51820))
        refuse(QStringLiteral("refusing server: not a host name or address"));
    if (!parseIpAddress(exitMeshIp))
        refuse(QStringLiteral("refusing exit-mesh-ip: not an address"));
    if (!endpointOf(relay, std::nullopt))
        refuse(QStringLiteral("refusing relay: not a host and port"));
    static const QRegularExpression join(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._~+/=-]{0,511}$"));
    if (!join.match(joinCode).hasMatch())
        refuse(QStringLiteral("refusing join-code: not a valid value"));
    const QUrl &url = orders.controlPlane;
    const bool https = url.scheme() == QLatin1String("https");
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment()
        || !(https || (url.scheme() == QLatin1String("http") && mayUsePlainHttp(url.host()))))
        refuse(QStringLiteral("refusing control-plane: not an https address (or http on a private network)"));
    if (!QDir::isAbsolutePath(pidFile))
        refuse(QStringLiteral("refusing pid-file: not an absolute path"));
    return orders;
}

QByteArray tunnelConfig(const QByteArray &privateKey, const MeshJoin &join, const QString &endpoint)
{
    const bool v6 = join.meshIp.protocol() == QAbstractSocket::IPv6Protocol;
    QStringList routes;
    for (const auto &[address, length] : join.routes)
        routes.append(QStringLiteral("%1/%2").arg(address.toString()).arg(length));
    QStringList dns;
    for (const QHostAddress &address : join.dns)
        dns.append(address.toString());

    QString text = QStringLiteral("[Interface]\nPrivateKey = %1\nAddress = %2/%3\n")
                       .arg(QString::fromLatin1(privateKey), join.meshIp.toString())
                       .arg(v6 ? 128 : 32);
    if (!dns.isEmpty())
        text += QStringLiteral("DNS = %1\n").arg(dns.join(QLatin1String(", ")));
    text += QStringLiteral(
        "\n[Peer]\nPublicKey = %1\nEndpoint = %2\nAllowedIPs = %3\nPersistentKeepalive = 25\n")
                .arg(join.exitPublicKey, endpoint, routes.join(QLatin1String(", ")));
    return text.toUtf8();
}

Agent::Agent(Orders orders, QObject *parent)
    : QObject(parent)
    , m_orders(std::move(orders))
{ }

QString Agent::folder() const
{
    return QFileInfo(m_orders.pidFile).path() + QStringLiteral("/agent");
}

QString Agent::configFile() const
{
    return folder() + QLatin1Char('/') + interfaceName + QStringLiteral(".conf");
}

QString Agent::readyFile() const
{
    return folder() + QStringLiteral("/ready");
}

bool Agent::interfaceExists() const
{
    return QFile::exists(QStringLiteral("/sys/class/net/") + interfaceName);
}

QCoro::Task<> Agent::up()
{
    // The private key lives only in memory and in root's 0700 folder.
    QDir().mkpath(folder());
    if (!QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        refuse(QStringLiteral("cannot make %1").arg(folder()));
    QFile::remove(readyFile());
    if (interfaceExists())
        refuse(QStringLiteral("an interface named %1 already exists").arg(interfaceName));

    const Ran generated = run(QStringLiteral("wg"), {QStringLiteral("genkey")});
    const QByteArray privateKey = generated.out.trimmed();
    const Ran derived = run(QStringLiteral("wg"), {QStringLiteral("pubkey")}, privateKey + '\n');
    if (!generated.ok || !derived.ok)
        refuse(QStringLiteral("cannot make a key pair: %1")
                   .arg(generated.ok ? derived.reason : generated.reason));
    const QByteArray publicKey = derived.out.trimmed();

    // Join: the join code and our public key in, our address and the exit's key out.
    const QUrl joinUrl
        = m_orders.controlPlane.resolved(QUrl(m_orders.controlPlane.path() + QStringLiteral("/join")));
    const QByteArray body = QJsonDocument(QJsonObject {{QStringLiteral("joinCode"), m_orders.joinCode},
                                              {QStringLiteral("publicKey"), QString::fromLatin1(publicKey)}})
                                .toJson(QJsonDocument::Compact);
    http::Request request {joinUrl, QByteArrayLiteral("POST"), {}, body};
    request.fields.emplaceBack(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json"));
    const http::Response reply = co_await http::exchange(request, {maxJoinReplyBytes, 15s, 20s}, this);
    AppModel::check(reply.head.status, reply.body);
    const MeshJoin join = decodeReply<MeshJoin>(reply.body);
    m_peerKey = join.exitPublicKey;
    const QString endpoint = *endpointOf(m_orders.server, join.exitPort);

    QFile config(configFile());
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !config.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || config.write(tunnelConfig(privateKey, join, endpoint)) < 0 || !config.flush())
        refuse(QStringLiteral("cannot write %1").arg(configFile()));
    config.close();

    m_configured = true;
    const Ran quick = run(QStringLiteral("wg-quick"), {QStringLiteral("up"), configFile()});
    // The routing table (and firewall mark) wg-quick picked for a full tunnel, "off" otherwise.
    bool marked = false;
    m_table = run(QStringLiteral("wg"), {QStringLiteral("show"), interfaceName, QStringLiteral("fwmark")})
                  .out.trimmed()
                  .toInt(&marked, 0);
    if (!marked)
        m_table = 0;
    if (!quick.ok) {
        down();
        refuse(QStringLiteral("cannot bring the tunnel up: %1").arg(quick.reason));
    }

    if (co_await awaitHandshake(handshakeOverServer))
        co_return;
    const QString relay = *endpointOf(m_orders.relay, std::nullopt);
    say(QStringLiteral("no handshake over %1; trying the relay %2").arg(endpoint, relay));
    const Ran moved = run(QStringLiteral("wg"),
        {QStringLiteral("set"), interfaceName, QStringLiteral("peer"), m_peerKey, QStringLiteral("endpoint"),
            relay});
    if (moved.ok && co_await awaitHandshake(handshakeOverRelay))
        co_return;
    down();
    refuse(QStringLiteral("no handshake with the exit node over %1 or the relay %2").arg(endpoint, relay));
}

QCoro::Task<bool> Agent::awaitHandshake(std::chrono::milliseconds limit)
{
    // WireGuard shakes hands when there is something to send: a datagram into the
    // tunnel sets it off.
    QUdpSocket nudge;
    const QHostAddress exit = *parseIpAddress(m_orders.exitMeshIp);
    QTimer tick;
    tick.start(100ms);
    for (auto waited = 0ms; waited < limit; waited += 100ms) {
        if (waited % 1s == 0ms)
            nudge.writeDatagram("corvanta", exit, 9);
        const Ran shown = run(QStringLiteral("wg"),
            {QStringLiteral("show"), interfaceName, QStringLiteral("latest-handshakes")});
        const QList<QByteArray> fields = shown.out.simplified().split(' ');
        if (shown.ok && fields.size() == 2 && fields[1].toLongLong() > 0)
            co_return true;
        co_await tick;
    }
    co_return false;
}

void Agent::down()
{
    if (m_configured && !run(QStringLiteral("wg-quick"), {QStringLiteral("down"), configFile()}).ok) {
        // The interface went away on its own (wireguard-go ended): wg-quick then
        // refuses, so what it added beside the interface is removed here. Only our
        // own rules: another tunnel of wg-quick's has its own table and its own pair.
        const auto ip = [](const QString &family, const QStringList &rule) {
            return run(QStringLiteral("ip"),
                QStringList {family, QStringLiteral("rule"), QStringLiteral("delete")} + rule)
                .ok;
        };
        for (const QString &family : QStringList {QStringLiteral("-4"), QStringLiteral("-6")}) {
            if (m_table > 0 && ip(family, {QStringLiteral("table"), QString::number(m_table)}))
                ip(family,
                    {QStringLiteral("table"), QStringLiteral("main"), QStringLiteral("suppress_prefixlength"),
                        QStringLiteral("0")});
        }
        for (const QString &family : QStringList {QStringLiteral("ip"), QStringLiteral("ip6")})
            run(QStringLiteral("nft"),
                {QStringLiteral("delete"), QStringLiteral("table"), family,
                    QStringLiteral("wg-quick-") + interfaceName});
        run(QStringLiteral("resolvconf"),
            {QStringLiteral("-d"), QStringLiteral("tun.") + interfaceName, QStringLiteral("-f")});
    }
    m_configured = false;
    QFile::remove(configFile());
    QFile::remove(readyFile());
    // The process-id file names this agent only while its tunnel is up.
    if (readPidFile(m_orders.pidFile) == int(getpid()))
        QFile::remove(m_orders.pidFile);
}

} // namespace corvanta::agent
