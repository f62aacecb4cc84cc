#include "WireRecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>

using namespace corvanta;

namespace {

// Decodes and returns the error text, or an empty text when decoding succeeded.
template<class T> QString decodeError(const QByteArray &json)
{
    try {
        decodeReply<T>(json);
    } catch (const ApiError &e) {
        return e.description();
    }
    return {};
}

const QByteArray fullConnectInfo
    = R"({"server":"203.0.113.7","controlPlane":"cp.example",)"
      R"("relay":"relay.example","exitMeshIp":"100.64.0.2","coreIp":"100.64.0.1",)"
      R"("joinCode":"JOIN-1"})";

} // namespace

class TestWireRecords : public QObject
{
    Q_OBJECT

private slots:
    void decodesEveryRecord()
    {
        const auto auth = decodeReply<AuthResponse>(
            R"({"token":"t1","user":{"id":"u1","email":"Ann@Example.com","extra":1},"other":[1,2]})");
        QCOMPARE(auth.token, QStringLiteral("t1"));
        QCOMPARE(auth.user.id, QStringLiteral("u1"));
        QCOMPARE(auth.user.email, QStringLiteral("Ann@Example.com"));

        const auto exchange = decodeReply<ExchangeResponse>(R"({"token":"t2","email":"b@example.com"})");
        QCOMPARE(exchange.token, QStringLiteral("t2"));
        QCOMPARE(exchange.email, QStringLiteral("b@example.com"));

        const auto lookup = decodeReply<SSOLookup>(R"({"sso":true,"domain":"example.com"})");
        QVERIFY(lookup.sso);
        QCOMPARE(lookup.domain, std::optional<QString>(QStringLiteral("example.com")));
        QCOMPARE(decodeReply<SSOLookup>(R"({"sso":false})").domain, std::nullopt);

        const auto account = decodeReply<BillingAccount>(
            R"({"balanceCents":-250,"subscriptionActive":true,"subscriptionExpiresAt":"2027-01-01",
                "pricePerHourCents":3,"subMonthlyCents":999})");
        QCOMPARE(account.balanceCents, -250);
        QVERIFY(account.subscriptionActive);
        QCOMPARE(account.subscriptionExpiresAt, std::optional<QString>(QStringLiteral("2027-01-01")));
        QCOMPARE(account.pricePerHourCents, 3);
        QCOMPARE(account.subMonthlyCents, 999);

        const auto checkout
            = decodeReply<CheckoutResp>(R"({"invoiceId":"inv","checkoutUrl":"pay.example/x"})");
        QCOMPARE(checkout.checkoutUrl, QStringLiteral("pay.example/x"));

        const auto ensure = decodeReply<EnsureResponse>(
            R"({"sessionId":"s1","state":"ready","connectInfo":)" + fullConnectInfo + "}");
        QCOMPARE(ensure.sessionId, std::optional<QString>(QStringLiteral("s1")));
        QVERIFY(ensure.connectInfo);
        QCOMPARE(ensure.connectInfo->server, QStringLiteral("203.0.113.7"));
        QCOMPARE(ensure.connectInfo->controlPlane, QStringLiteral("cp.example"));
        QCOMPARE(ensure.connectInfo->relay, QStringLiteral("relay.example"));
        QCOMPARE(ensure.connectInfo->exitMeshIp, QStringLiteral("100.64.0.2"));
        QCOMPARE(ensure.connectInfo->coreIp, std::optional<QString>(QStringLiteral("100.64.0.1")));
        QCOMPARE(ensure.connectInfo->joinCode, QStringLiteral("JOIN-1"));

        const auto status = decodeReply<StatusResponse>(R"({"state":"provisioning","etaSeconds":30})");
        QCOMPARE(status.etaSeconds, std::optional<qint64>(30));
        QVERIFY(!status.connectInfo);
    }

    void optionalFieldsAcceptMissingAndNull()
    {
        const auto ensure
            = decodeReply<EnsureResponse>(R"({"sessionId":null,"state":"provisioning","connectInfo":null})");
        QCOMPARE(ensure.sessionId, std::nullopt);
        QCOMPARE(ensure.connectInfo.has_value(), false);
        QCOMPARE(decodeReply<EnsureResponse>(R"({"state":"x"})").sessionId, std::nullopt);

        const auto status = decodeReply<StatusResponse>(R"({"state":"provisioning"})");
        QVERIFY(!status.connectInfo);
        QVERIFY(!status.etaSeconds);

        const auto info = decodeReply<ConnectInfo>(
            R"({"server":"a","controlPlane":"b","relay":"c","exitMeshIp":"d","joinCode":"f"})");
        QCOMPARE(info.coreIp, std::nullopt);

        // JSON null for an optional reply means "no account"; an empty object is not an account.
        QCOMPARE(decodeReply<std::optional<BillingAccount>>(" null\n"), std::nullopt);
        QCOMPARE(decodeError<std::optional<BillingAccount>>("{}"),
            QStringLiteral("unexpected reply (BillingAccount: missing key \"balanceCents\")"));
    }

    void failuresNameRecordAndKey_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing required")
            << QByteArray(R"({"sessionId":"s"})") << "EnsureResponse: missing key \"state\"";
        QTest::newRow("null required")
            << QByteArray(R"({"state":null})") << "EnsureResponse: key \"state\" is null";
        QTest::newRow("wrong type required")
            << QByteArray(R"({"state":7})") << "EnsureResponse: key \"state\" must be text";
        QTest::newRow("wrong type optional") << QByteArray(R"({"state":"ready","sessionId":12})")
                                             << "EnsureResponse: key \"sessionId\" must be text";
        QTest::newRow("nested record") << QByteArray(
            R"({"state":"ready","connectInfo":{"server":"a","controlPlane":"b","relay":"c","exitMeshIp":"d"}})")
                                       << "EnsureResponse.connectInfo: missing key \"joinCode\"";
        QTest::newRow("nested not an object") << QByteArray(R"({"state":"ready","connectInfo":"x"})")
                                              << "EnsureResponse.connectInfo: expected a JSON object";
        QTest::newRow("top level array") << QByteArray("[]") << "EnsureResponse: expected a JSON object";
        QTest::newRow("malformed") << QByteArray(R"({"state":)") << "not valid JSON";
        QTest::newRow("trailing garbage") << QByteArray(R"({"state":"a"}],[{)") << "not valid JSON";
        QTest::newRow("empty body") << QByteArray("") << "empty body";
    }

    // A token goes into a header line and an id into request paths: odd ones are refused.
    void tokensAndIdsArePlain_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isToken"); // else a region id
        QTest::newRow("token with a line break") << "a\r\nX-Injected: 1" << true;
        QTest::newRow("token with a blank") << "a b" << true;
        QTest::newRow("empty token") << "" << true;
        QTest::newRow("id leaving its path") << "../billing/topup#" << false;
        QTest::newRow("id with a query") << "de?x=1" << false;
        QTest::newRow("id with a control character") << "de\u0001" << false;
    }
    void tokensAndIdsArePlain()
    {
        QFETCH(QString, value);
        QFETCH(bool, isToken);
        const QJsonObject record = isToken
            ? QJsonObject {{"token", value}, {"email", "e@x"}}
            : QJsonObject {{"id", value}, {"country", "C"}, {"city", "c"}, {"flag", "F"}, {"status", "online"}};
        const QByteArray json = QJsonDocument(record).toJson();
        const QString error = isToken ? decodeError<ExchangeResponse>(json) : decodeError<Region>(json);
        QVERIFY2(error.contains(isToken ? "must be a plain token" : "is not a plain id"), qPrintable(error));
    }

    void failuresNameRecordAndKey()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QCOMPARE(decodeError<EnsureResponse>(json), QStringLiteral("unexpected reply (%1)").arg(error));
    }

    void integersAreWhole64BitNumbers_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<qint64>("value");
        QTest::newRow("plain") << QByteArray("42") << true << qint64(42);
        QTest::newRow("negative") << QByteArray("-7") << true << qint64(-7);
        QTest::newRow("largest") << QByteArray("9223372036854775807") << true
                                 << std::numeric_limits<qint64>::max();
        QTest::newRow("smallest trusted")
            << QByteArray("-9223372036854775807") << true << std::numeric_limits<qint64>::min() + 1;
        // Qt saturates anything smaller to -2^63, so that value is refused.
        QTest::newRow("saturated") << QByteArray("-9223372036854775808") << false << qint64(0);
        QTest::newRow("beyond 2^53 exact")
            << QByteArray("9007199254740993") << true << qint64(9007199254740993);
        QTest::newRow("whole with fraction part") << QByteArray("5.0") << true << qint64(5);
        QTest::newRow("exponent") << QByteArray("1e3") << true << qint64(1000);
        QTest::newRow("fraction") << QByteArray("1.5") << false << qint64(0);
        QTest::newRow("too large") << QByteArray("9223372036854775808") << false << qint64(0);
        QTest::newRow("too small") << QByteArray("-9223372036854775809") << false << qint64(0);
        QTest::newRow("huge exponent") << QByteArray("1e300") << false << qint64(0);
        QTest::newRow("text") << QByteArray("\"5\"") << false << qint64(0);
        QTest::newRow("bool") << QByteArray("true") << false << qint64(0);
    }

    void integersAreWhole64BitNumbers()
    {
        QFETCH(QByteArray, number);
        QFETCH(bool, decodes);
        QFETCH(qint64, value);
        const QByteArray json = R"({"balanceCents":)" + number
            + R"(,"subscriptionActive":false,"pricePerHourCents":1,"subMonthlyCents":2})";
        if (decodes) {
            QCOMPARE(decodeReply<BillingAccount>(json).balanceCents, value);
        } else {
            const QString error = decodeError<BillingAccount>(json);
            QVERIFY2(error.contains(QLatin1String("BillingAccount: key \"balanceCents\" must be")),
                qPrintable(error));
        }
    }

    void listsFailAsAWhole()
    {
        const QByteArray good = R"({"id":"a","country":"A","city":"a","flag":"🇦🇹","status":"online"})";
        const QByteArray noFlag = R"({"id":"c","country":"C","city":"c","status":"online"})";

        const auto regions = decodeReply<QList<Region>>("[" + good + "," + good + "]");
        QCOMPARE(regions.size(), 2);
        QCOMPARE(regions[0].flag, QStringLiteral("🇦🇹"));
        QVERIFY(decodeReply<QList<Region>>("[]").isEmpty());

        QCOMPARE(decodeError<QList<Region>>("[" + good + "," + good + "," + noFlag + "]"),
            QStringLiteral("unexpected reply (Region[2]: missing key \"flag\")"));
        QCOMPARE(decodeError<QList<Region>>("[" + good + ",null]"),
            QStringLiteral("unexpected reply (Region[1]: expected a JSON object)"));
        QCOMPARE(decodeError<QList<Region>>(good),
            QStringLiteral("unexpected reply (Region[]: expected a JSON array)"));
    }

    void regionOnlineIsExactAndEqualityCoversAllFields()
    {
        Region r {"id", "Country", "City", "🇫🇷", "online"};
        QVERIFY(r.online());
        for (const char *status : {"Online", "ONLINE", "online ", " online", "", "soon", "offline"}) {
            r.status = QString::fromUtf8(status);
            QVERIFY2(!r.online(), status);
        }

        const Region base {"id", "Country", "City", "🇫🇷", "online"};
        QCOMPARE(base, (Region {"id", "Country", "City", "🇫🇷", "online"}));
        QCOMPARE(qHash(base), qHash(Region {"id", "Country", "City", "🇫🇷", "online"}));
        const QList<Region> variants = {
            {"id2", "Country", "City", "🇫🇷", "online"},
            {"id", "Other", "City", "🇫🇷", "online"},
            {"id", "Country", "Town", "🇫🇷", "online"},
            {"id", "Country", "City", "🇩🇪", "online"},
            {"id", "Country", "City", "🇫🇷", "soon"},
        };
        for (const Region &other : variants)
            QVERIFY(!(base == other));
        QSet<Region> set {base, variants[4]};
        QCOMPARE(set.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestWireRecords)
#include "tst_wirerecords.moc"
