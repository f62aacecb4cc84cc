#include "WireRecords.h"

#include <QJsonDocument>
#include <QTest>

#include <functional>

using namespace corvanta;
using namespace Qt::StringLiterals;

namespace {

// The decoded value as text (by `show`), or the text of the decoding error.
template<class T> QString outcome(const QByteArray &json, const std::function<QString(const T &)> &show = {})
{
    try {
        const T value = decodeReply<T>(json);
        return show ? show(value) : QString();
    } catch (const ApiError &e) {
        return e.domain() == ApiError::decodingDomain && e.code() == 0 ? e.description() : u"?"_s;
    }
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson();
}

} // namespace

class TestWireRecords : public QObject
{
    Q_OBJECT

private slots:
    void decodesRecordsWithOptionalKeys()
    {
        QCOMPARE(decodeReply<BillingAccount>(R"({"balanceCents":-250,"subscriptionActive":true,)"
                                             R"("subscriptionExpiresAt":"2027","pricePerHourCents":3,)"
                                             R"("subMonthlyCents":999})"),
            (BillingAccount {-250, true, u"2027"_s, 3, 999}));
        for (const QByteArray prefix : {"", "unused-"}) { // null, or missing (there under another name)
            const auto with = [&](const char *text) { return QByteArray(text).replace('@', prefix); };
            const auto ensure
                = decodeReply<EnsureResponse>(with(R"({"state":"","@sessionId":null,"@connectInfo":null})"));
            QVERIFY(!ensure.sessionId && !ensure.connectInfo);
            QVERIFY(!decodeReply<StatusResponse>(with(R"({"state":"x","@etaSeconds":null})")).etaSeconds);
        }
        // JSON null for an optional reply means "no account"; an empty object is not an account.
        QCOMPARE(decodeReply<std::optional<BillingAccount>>(" null\n"), std::nullopt);
        QCOMPARE(outcome<std::optional<BillingAccount>>("{}"),
            u"unexpected reply (BillingAccount: missing key \"balanceCents\")"_s);
    }

    void decodingIsStrict_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected"); // the failure (named by record and key), or the number read
        const auto row = [](const QByteArray &name, const QByteArray &json, const QString &expected) {
            QTest::newRow(name.constData()) << json << expected;
        };
        row("Ensure missing", R"({"sessionId":"s"})", "EnsureResponse: missing key \"state\"");
        row("Ensure null", R"({"state":null})", "EnsureResponse: key \"state\" is null");
        row("Ensure not text", R"({"state":7})", "EnsureResponse: key \"state\" must be text");
        row("Ensure optional", R"({"state":"r","sessionId":1})",
            "EnsureResponse: key \"sessionId\" must be text");
        row("SSO not true or false", R"({"sso":1})", "SSOLookup: key \"sso\" must be true or false");
        row("Ensure nested", R"({"state":"r","connectInfo":{"server":"a"}})",
            "EnsureResponse.connectInfo: missing key \"controlPlane\"");
        row("Ensure nested not an object", R"({"state":"r","connectInfo":"x"})",
            "EnsureResponse.connectInfo: expected a JSON object");
        row("Ensure top level array", "[]", "EnsureResponse: expected a JSON object");
        row("Ensure malformed", R"({"state":)", "not valid JSON");
        row("Ensure trailing garbage", R"({"state":"a"}],[{)", "not valid JSON");
        row("Ensure empty body", " \n", "empty body");

        // Whole numbers in 64 bits; Qt saturates anything smaller to -2^63, so that one is refused.
        const auto eta = [](const char *n) { return R"({"state":"p","etaSeconds":)" + QByteArray(n) + '}'; };
        const QString range = "StatusResponse: key \"etaSeconds\" must be a whole number in the 64-bit range";
        row("Status largest", eta("9223372036854775807"), "9223372036854775807");
        row("Status smallest trusted", eta("-9223372036854775807"), "-9223372036854775807");
        row("Status saturated", eta("-9223372036854775808"), range);
        row("Status whole with fraction part", eta("5.0"), "5");
        row("Status fraction", eta("1.5"), range);
        row("Status too large", eta("9223372036854775808"), range);
        row("Status too small", eta("-9223372036854775809"), range);
        row("Status text", eta("\"5\""), "StatusResponse: key \"etaSeconds\" must be a number");

        // A token goes into a header line and an id into request paths: odd ones are refused.
        for (const char *token : {"", "a b", "a\r\nX-Injected: 1", "a\x7f"})
            row("Exchange " + QByteArray(token).toPercentEncoding(), json({{"token", token}, {"email", "e"}}),
                "ExchangeResponse: key \"token\" must be a plain token");
        for (const char *id : {"", "a..b", "a/b", "a?b", "a#b", "a\\b", "a\x01"})
            row("Region " + QByteArray(id).toPercentEncoding(),
                json({{"id", id}, {"country", "C"}, {"city", "c"}, {"flag", "F"}, {"status", "online"}}),
                "Region: key \"id\" is not a plain id");
    }

    void decodingIsStrict()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        const QString record = QString::fromUtf8(QTest::currentDataTag()).section(' ', 0, 0);
        const QString got = record == "Status"
            ? outcome<StatusResponse>(json, [](auto &s) { return QString::number(s.etaSeconds.value_or(0)); })
            : record == "SSO"      ? outcome<SSOLookup>(json)
            : record == "Exchange" ? outcome<ExchangeResponse>(json)
            : record == "Region"   ? outcome<Region>(json)
                                   : outcome<EnsureResponse>(json);
        QCOMPARE(
            got, expected.toLongLong() || expected == "0" ? expected : "unexpected reply (" + expected + ')');
    }

    // What a control plane answers ends up in a root-owned tunnel configuration.
    void meshJoinIsChecked_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // in place of the key's value in a good answer
        QTest::addColumn<QString>(
            "expected"); // address, port, routes and DNS servers read, or what the key must be
        const auto row = [](const char *name, const char *key, const char *value, const char *expected) {
            QTest::newRow(name) << QString(key) << QByteArray(value) << QString(expected);
        };
        row("highest port", "exitPort", "65535", "100.96.0.9 65535 0.0.0.0/0 fd00::/128 1.1.1.1 ::1");
        row("lowest port", "exitPort", "1", "100.96.0.9 1 0.0.0.0/0 fd00::/128 1.1.1.1 ::1");
        row("no DNS", "dns", "null", "100.96.0.9 65535 0.0.0.0/0 fd00::/128");
        row("port 0", "exitPort", "0", "a port from 1 to 65535");
        row("port too high", "exitPort", "65536", "a port from 1 to 65535");
        row("DNS name", "dns", R"(["1.1.1.1","ns.example"])", "IP addresses");
        row("address with prefix", "meshIp", R"("10.0.0.9/32")", "an IP address");
        row("bad key", "exitPublicKey", R"("AAAA=")", "a WireGuard key");
        row("no routes", "routes", "[]", "address prefixes");
        row("v4 prefix too long", "routes", R"(["10.0.0.0/33"])", "address prefixes");
        row("v6 prefix too long", "routes", R"(["fd00::/129"])", "address prefixes");
        row("route without length", "routes", R"(["10.0.0.0"])", "address prefixes");
    }

    void meshJoinIsChecked()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        QJsonObject answer {{"meshIp", "100.96.0.9"}, {"exitPublicKey", QString(43, 'A') + '='},
            {"exitPort", 65535}, {"routes", QJsonArray {"0.0.0.0/0", "fd00::/128"}},
            {"dns", QJsonArray {"1.1.1.1", "::1"}}};
        answer[key] = QJsonDocument::fromJson("[" + value + "]").array().at(0);
        const auto show = [](const MeshJoin &join) {
            QStringList parts {join.meshIp.toString(), QString::number(join.exitPort)};
            for (const auto &[address, length] : join.routes)
                parts << address.toString() + '/' + QString::number(length);
            for (const QHostAddress &server : join.dns)
                parts << server.toString();
            return parts.join(' ');
        };
        if (!expected[0].isDigit())
            expected = u"unexpected reply (MeshJoin: key \"%1\" must be %2)"_s.arg(key, expected);
        QCOMPARE(outcome<MeshJoin>(json(answer), show), expected);
    }
};

QTEST_GUILESS_MAIN(TestWireRecords)
#include "tst_wirerecords.moc"
