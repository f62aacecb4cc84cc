#include "WireRecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>

using namespace corvanta;
using namespace Qt::StringLiterals;

namespace {

// The decoded value as text (by `show`), or the text of the decoding error.
template<class T, class Show> QString outcome(const QByteArray &json, Show show)
{
    try {
        return show(decodeReply<T>(json));
    } catch (const ApiError &e) {
        return e.domain() == ApiError::decodingDomain && e.code() == 0 ? e.description() : u"other error"_s;
    }
}

template<class T> QString decodeError(const QByteArray &json)
{
    return outcome<T>(json, [](const T &) { return QString(); });
}

QString optional(const std::optional<QString> &text)
{
    return text.value_or(u"-"_s);
}

} // namespace

class TestWireRecords : public QObject
{
    Q_OBJECT

private slots:
    void decodesEveryRecord()
    {
        const auto auth = decodeReply<AuthResponse>(
            R"({"token":"t1!~","user":{"id":"u1","email":"Ann@Example.com","extra":1},"other":[1,2]})");
        QCOMPARE(QStringList({auth.token, auth.user.id, auth.user.email}), QStringList({"t1!~", "u1", "Ann@Example.com"}));
        const auto exchange = decodeReply<ExchangeResponse>(R"({"token":"t2","email":"b@example.com"})");
        QCOMPARE(QStringList({exchange.token, exchange.email}), QStringList({"t2", "b@example.com"}));
        const auto sso = decodeReply<SSOLookup>(R"({"sso":true,"domain":"example.com"})");
        QVERIFY(sso.sso && sso.domain == u"example.com"_s);
        QVERIFY(!decodeReply<SSOLookup>(R"({"sso":false})").sso);
        QCOMPARE(decodeReply<BillingAccount>(R"({"balanceCents":-250,"subscriptionActive":true,)"
                                             R"("subscriptionExpiresAt":"2027-01-01","pricePerHourCents":3,"subMonthlyCents":999})"),
            (BillingAccount {-250, true, u"2027-01-01"_s, 3, 999}));
        const auto checkout = decodeReply<CheckoutResp>(R"({"invoiceId":"inv","checkoutUrl":"pay.example/x"})");
        QCOMPARE(QStringList({checkout.invoiceId, checkout.checkoutUrl}), QStringList({"inv", "pay.example/x"}));
        const auto ensure = decodeReply<EnsureResponse>(R"({"sessionId":"s1","state":"ready","connectInfo":{"server":"203.0.113.7",)"
                                                        R"("controlPlane":"cp","relay":"re","exitMeshIp":"100.64.0.2","coreIp":"100.64.0.1","joinCode":"J"}})");
        const ConnectInfo info = ensure.connectInfo.value();
        QCOMPARE(QStringList({optional(ensure.sessionId), ensure.state, info.server, info.controlPlane, info.relay,
                     info.exitMeshIp, optional(info.coreIp), info.joinCode}),
            QStringList({"s1", "ready", "203.0.113.7", "cp", "re", "100.64.0.2", "100.64.0.1", "J"}));
        const auto status = decodeReply<StatusResponse>(
            R"({"state":"provisioning","etaSeconds":30,"connectInfo":{"server":"a","controlPlane":"b","relay":"c","exitMeshIp":"d","joinCode":"f"}})");
        QVERIFY(status.state == u"provisioning"_s && status.etaSeconds == 30 && status.connectInfo->joinCode == u"f"_s);
    }

    void optionalKeysMayBeMissingOrNull()
    {
        // Null, or missing: the key is there under another name.
        for (const QByteArray prefix : {"", "unused-"}) {
            const auto json = [&](QByteArray text) { return text.replace("@", prefix); };
            const auto ensure = decodeReply<EnsureResponse>(json(R"({"state":"x","@sessionId":null,"@connectInfo":null})"));
            QVERIFY(!ensure.sessionId && !ensure.connectInfo);
            const auto status = decodeReply<StatusResponse>(json(R"({"state":"x","@connectInfo":null,"@etaSeconds":null})"));
            QVERIFY(!status.connectInfo && !status.etaSeconds);
            QVERIFY(!decodeReply<SSOLookup>(json(R"({"sso":true,"@domain":null})")).domain);
            QVERIFY(!decodeReply<ConnectInfo>(json(R"({"server":"a","controlPlane":"b","relay":"c","exitMeshIp":"d","@coreIp":null,"joinCode":"f"})"))
                         .coreIp);
            QVERIFY(!decodeReply<BillingAccount>(json(R"({"balanceCents":1,"subscriptionActive":false,"@subscriptionExpiresAt":null,)"
                                                      R"("pricePerHourCents":1,"subMonthlyCents":2})"))
                         .subscriptionExpiresAt);
        }
        // JSON null for an optional reply means "no account"; an empty object is not an account.
        QCOMPARE(decodeReply<std::optional<BillingAccount>>(" null\n"), std::nullopt);
        QCOMPARE(decodeError<std::optional<BillingAccount>>("{}"),
            u"unexpected reply (BillingAccount: missing key \"balanceCents\")"_s);
    }

    void failuresNameRecordAndKey_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing required") << R"({"sessionId":"s"})"_ba << "EnsureResponse: missing key \"state\"";
        QTest::newRow("null required") << R"({"state":null})"_ba << "EnsureResponse: key \"state\" is null";
        QTest::newRow("wrong type required") << R"({"state":7})"_ba << "EnsureResponse: key \"state\" must be text";
        QTest::newRow("wrong type optional")
            << R"({"state":"ready","sessionId":12})"_ba << "EnsureResponse: key \"sessionId\" must be text";
        QTest::newRow("nested record")
            << R"({"state":"ready","connectInfo":{"server":"a","controlPlane":"b","relay":"c","exitMeshIp":"d"}})"_ba
            << "EnsureResponse.connectInfo: missing key \"joinCode\"";
        QTest::newRow("nested not an object")
            << R"({"state":"ready","connectInfo":"x"})"_ba << "EnsureResponse.connectInfo: expected a JSON object";
        QTest::newRow("top level array") << "[]"_ba << "EnsureResponse: expected a JSON object";
        QTest::newRow("malformed") << R"({"state":)"_ba << "not valid JSON";
        QTest::newRow("trailing garbage") << R"({"state":"a"}],[{)"_ba << "not valid JSON";
        QTest::newRow("empty body") << " \n"_ba << "empty body";
    }

    void failuresNameRecordAndKey()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QCOMPARE(decodeError<EnsureResponse>(json), u"unexpected reply (%1)"_s.arg(error));
    }

    // A token goes into a header line and an id into request paths: odd ones are refused.
    void tokensAndIdsArePlain_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isToken"); // else a region id
        QTest::newRow("token with a line break") << "a\r\nX-Injected: 1" << true;
        QTest::newRow("token with a blank") << "a b" << true;
        QTest::newRow("token with DEL") << "a\x7f" << true;
        QTest::newRow("empty token") << "" << true;
        QTest::newRow("empty id") << "" << false;
        for (const char *id : {"a..b", "a/b", "a?b", "a#b", "a\\b", "a\x01"})
            QTest::newRow(id) << id << false;
    }

    void tokensAndIdsArePlain()
    {
        QFETCH(QString, value);
        QFETCH(bool, isToken);
        const QJsonObject record = isToken
            ? QJsonObject {{"token", value}, {"email", "e@x"}}
            : QJsonObject {{"id", value}, {"country", "C"}, {"city", "c"}, {"flag", "F"}, {"status", "online"}};
        const QByteArray json = QJsonDocument(record).toJson();
        QCOMPARE(isToken ? decodeError<ExchangeResponse>(json) : decodeError<Region>(json),
            isToken ? u"unexpected reply (ExchangeResponse: key \"token\" must be a plain token)"_s
                    : u"unexpected reply (Region: key \"id\" is not a plain id)"_s);
    }

    void integersAreWhole64BitNumbers_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QString>("expected"); // the value, or what it must be
        const QString range = "must be a whole number in the 64-bit range";
        QTest::newRow("largest") << "9223372036854775807"_ba << "9223372036854775807";
        QTest::newRow("smallest trusted") << "-9223372036854775807"_ba << "-9223372036854775807";
        // Qt saturates anything smaller to -2^63, so that value is refused.
        QTest::newRow("saturated") << "-9223372036854775808"_ba << range;
        QTest::newRow("beyond 2^53 exact") << "9007199254740993"_ba << "9007199254740993";
        QTest::newRow("whole with fraction part") << "5.0"_ba << "5";
        QTest::newRow("fraction") << "1.5"_ba << range;
        QTest::newRow("too large") << "9223372036854775808"_ba << range;
        QTest::newRow("too small") << "-9223372036854775809"_ba << range;
        QTest::newRow("text") << "\"5\""_ba << "must be a number";
        QTest::newRow("bool") << "true"_ba << "must be a number";
    }

    void integersAreWhole64BitNumbers()
    {
        QFETCH(QByteArray, number);
        QFETCH(QString, expected);
        const QByteArray json = R"({"balanceCents":)" + number
            + R"(,"subscriptionActive":false,"pricePerHourCents":1,"subMonthlyCents":2})";
        const QString got = outcome<BillingAccount>(json, [](const BillingAccount &a) { return QString::number(a.balanceCents); });
        QCOMPARE(got, expected.startsWith("must") ? u"unexpected reply (BillingAccount: key \"balanceCents\" %1)"_s.arg(expected) : expected);
    }

    void listsFailAsAWhole()
    {
        const QByteArray good = R"({"id":"a","country":"A","city":"a","flag":"🇦🇹","status":"online"})";
        const auto regions = decodeReply<QList<Region>>("[" + good + "," + good + "]");
        QCOMPARE(regions.size(), 2);
        QCOMPARE(regions[0], (Region {"a", "A", "a", "🇦🇹", "online"}));
        QCOMPARE(QSet<Region>(regions.begin(), regions.end()).size(), 1);
        QVERIFY(decodeReply<QList<Region>>("[]").isEmpty());
        QCOMPARE(decodeError<QList<Region>>("[" + good + "," + good + R"(,{"id":"c","country":"C","city":"c","status":"online"}])"),
            u"unexpected reply (Region[2]: missing key \"flag\")"_s);
        QCOMPARE(decodeError<QList<Region>>("[" + good + ",null]"), u"unexpected reply (Region[1]: expected a JSON object)"_s);
        QCOMPARE(decodeError<QList<Region>>(good), u"unexpected reply (Region[]: expected a JSON array)"_s);
    }

    // What a control plane answers ends up in a root-owned tunnel configuration.
    void meshJoinIsChecked_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // replaces the key's value in a good answer
        QTest::addColumn<QString>("expected"); // the answer as read, or what a key must be
        const QString good = "100.96.0.9 65535 0.0.0.0/0 fd00::/128 1.1.1.1 ::1";
        QTest::newRow("good") << "exitPort" << "65535"_ba << good;
        QTest::newRow("lowest port") << "exitPort" << "1"_ba << QString(good).replace("65535", "1");
        QTest::newRow("port 0") << "exitPort" << "0"_ba << "exitPort\" must be a port from 1 to 65535";
        QTest::newRow("port too high") << "exitPort" << "65536"_ba << "exitPort\" must be a port from 1 to 65535";
        QTest::newRow("no DNS") << "dns" << "null"_ba << "100.96.0.9 65535 0.0.0.0/0 fd00::/128";
        QTest::newRow("DNS not an address") << "dns" << R"(["1.1.1.1","dns.example"])"_ba << "dns\" must be IP addresses";
        QTest::newRow("mesh address with prefix") << "meshIp" << R"("100.96.0.9/32")"_ba << "meshIp\" must be an IP address";
        QTest::newRow("leading zero") << "meshIp" << R"("100.96.0.09")"_ba << "meshIp\" must be an IP address";
        QTest::newRow("bad key") << "exitPublicKey" << R"("AAAA=")"_ba << "exitPublicKey\" must be a WireGuard key";
        QTest::newRow("no routes") << "routes" << "[]"_ba << "routes\" must be address prefixes";
        QTest::newRow("v4 prefix too long") << "routes" << R"(["10.0.0.0/33"])"_ba << "routes\" must be address prefixes";
        QTest::newRow("v6 prefix too long") << "routes" << R"(["fd00::/129"])"_ba << "routes\" must be address prefixes";
        QTest::newRow("route without length") << "routes" << R"(["10.0.0.0"])"_ba << "routes\" must be address prefixes";
        QTest::newRow("routes not texts") << "routes" << "[1]"_ba << "routes\" must be an array of texts";
    }

    void meshJoinIsChecked()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        QJsonObject answer {{"meshIp", "100.96.0.9"}, {"exitPublicKey", QString(43, 'A') + '='}, {"exitPort", 65535},
            {"routes", QJsonArray {"0.0.0.0/0", "fd00::/128"}}, {"dns", QJsonArray {"1.1.1.1", "::1"}}};
        answer[key] = QJsonDocument::fromJson("[" + value + "]").array().at(0);
        const QString got = outcome<MeshJoin>(QJsonDocument(answer).toJson(), [](const MeshJoin &join) {
            QStringList parts {join.meshIp.toString(), QString::number(join.exitPort)};
            for (const auto &[address, length] : join.routes)
                parts << address.toString() + '/' + QString::number(length);
            for (const QHostAddress &server : join.dns)
                parts << server.toString();
            return parts.join(' ');
        });
        QCOMPARE(got, expected.contains('"') ? u"unexpected reply (MeshJoin: key \"%1)"_s.arg(expected) : expected);
    }
};

QTEST_GUILESS_MAIN(TestWireRecords)
#include "tst_wirerecords.moc"
