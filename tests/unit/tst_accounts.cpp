// Sign-in (password, Google, company SSO), sign-out and billing.

#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using namespace corvanta;
using namespace corvanta::test;

namespace {

const QByteArray regions = R"([{"id":"r","country":"C","city":"c","flag":"F","status":"online"}])";
const QByteArray account
    = R"({"balanceCents":1234,"subscriptionActive":false,"pricePerHourCents":3,"subMonthlyCents":999})";

// A model against the fake service whose browser is a list of opened addresses.
struct Rig
{
    FakeService service;
    ModelMaker maker;
    QList<QUrl> opened;
    bool browserWorks = true;
    std::unique_ptr<AppModel> model = maker.make(service.base(), {}, {}, [this](const QUrl &url) {
        opened.append(url);
        return browserWorks;
    });

    std::optional<QString> stored(const QString &key) const
    {
        return DefaultsStore(maker.settingsFile()).value(key);
    }

    // Routes the loads that follow every sign-in.
    void serveLoads()
    {
        service.setHandler([](const RecordedRequest &r) -> std::optional<FakeReply> {
            if (r.target == "/api/regions")
                return FakeReply {200, regions, {}};
            if (r.target == "/api/billing/account")
                return FakeReply {200, account, {}};
            return std::nullopt;
        });
    }

    // Starts a task and lets it run until the browser has been opened.
    template<class Start> QCoro::Task<> startUntilBrowserOpens(Start start)
    {
        const int before = opened.size();
        QCoro::Task<> task = start();
        QTest::qWaitFor([&] { return opened.size() > before || !model->busy(); }, 5000);
        return task;
    }
};

QString startChallenge(const QUrl &start)
{
    return QUrlQuery(start).queryItemValue("app_challenge");
}

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT

private slots:
    void pkceEncodings()
    {
        QCOMPARE(GoogleAuthFlow::base64URLEncodedString("abc"), QStringLiteral("YWJj"));
        QCOMPARE(GoogleAuthFlow::base64URLEncodedString("ab"), QStringLiteral("YWI"));
        QCOMPARE(GoogleAuthFlow::base64URLEncodedString(QByteArray("\xfb\xff", 2)), QStringLiteral("-_8"));
        // RFC 7636, appendix B.
        QCOMPARE(GoogleAuthFlow::challenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
        const QRegularExpression urlSafe("^[A-Za-z0-9_-]{43}$");
        const QString first = GoogleAuthFlow::randomURLSafe(32);
        const QString second = GoogleAuthFlow::randomURLSafe(32);
        QVERIFY2(urlSafe.match(first).hasMatch(), qPrintable(first));
        QVERIFY(urlSafe.match(second).hasMatch());
        QVERIFY(first != second);
    }

    void callbackCode_data()
    {
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QString>("code"); // empty: no code
        QTest::newRow("plain") << "corvanta://auth?code=abc"
                               << "abc";
        QTest::newRow("twice: the first") << "corvanta://auth?code=one&code=two"
                                          << "one";
        QTest::newRow("with other items") << "corvanta://auth?state=x&code=c1&scope=y"
                                          << "c1";
        QTest::newRow("encoded") << "corvanta://auth?code=a%2Bb%20c"
                                 << "a+b c";
        QTest::newRow("empty code") << "corvanta://auth?code="
                                    << "";
        QTest::newRow("empty first, second set") << "corvanta://auth?code=&code=x"
                                                 << "";
        QTest::newRow("only an error") << "corvanta://auth?error=access_denied"
                                       << "";
        QTest::newRow("other case") << "corvanta://auth?Code=abc"
                                    << "";
        QTest::newRow("no query") << "corvanta://auth"
                                  << "";
    }

    void callbackCode()
    {
        QFETCH(QString, callback);
        QFETCH(QString, code);
        try {
            QCOMPARE(GoogleAuthFlow::codeFrom(QUrl(callback)), code);
            QVERIFY(!code.isEmpty());
        } catch (const OAuthError &e) {
            QVERIFY(code.isEmpty());
            QCOMPARE(e.kind(), OAuthError::noCode);
            QCOMPARE(e.description(), QStringLiteral("Google did not return a sign-in code"));
        }
    }

    void passwordSignIn()
    {
        Rig rig;
        rig.serveLoads();
        rig.service.enqueue(200, R"({"token":"t-1","user":{"id":"u","email":"ann@example.com"}})");
        rig.model->setErrorMsg("old error");
        QCoro::waitFor(rig.model->login(" Ann@Example.com ", "pw"));

        const auto auth = rig.service.requestsTo("/api/auth/");
        QCOMPARE(auth.size(), 1);
        QCOMPARE(auth[0].target, QByteArray("/api/auth/login"));
        QVERIFY(!auth[0].hasHeader("authorization"));
        // Sent exactly as typed; kept as the service returns it.
        QCOMPARE(QJsonDocument::fromJson(auth[0].body).object(),
            (QJsonObject {{"email", " Ann@Example.com "}, {"password", "pw"}}));
        QCOMPARE(rig.model->token(), std::optional<QString>("t-1"));
        QCOMPARE(rig.model->email(), std::optional<QString>("ann@example.com"));
        QCOMPARE(rig.stored("cv_token"), std::optional<QString>("t-1"));
        QCOMPARE(rig.stored("cv_email"), std::optional<QString>("ann@example.com"));
        QCOMPARE(rig.model->regions().size(), 1);
        QCOMPARE(rig.model->account()->balanceCents, 1234);
        QCOMPARE(rig.service.requestsTo("/api/billing/account")[0].header("authorization"),
            QByteArray("Bearer t-1"));
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(!rig.model->busy());

        // Registration goes the same way.
        rig.service.enqueue(200, R"({"token":"t-2","user":{"id":"u2","email":"bo@example.com"}})");
        QCoro::waitFor(rig.model->registerAccount("bo@example.com", "longpassword"));
        QCOMPARE(rig.service.requestsTo("/api/auth/").last().target, QByteArray("/api/auth/register"));
        QCOMPARE(rig.stored("cv_token"), std::optional<QString>("t-2"));

        // A failed sign-in while signed in keeps the session, in memory and on disk.
        for (const FakeReply &failure : {FakeReply {401, R"({"message":"invalid email or password"})", {}},
                 FakeReply {409, R"({"message":"an account with that e-mail already exists"})", {}},
                 FakeReply {200, R"({"token":"t-3"})", {}}}) {
            rig.service.enqueue(failure);
            QSignalSpy busy(rig.model.get(), &AppModel::busyChanged);
            QCoro::waitFor(rig.model->login("bo@example.com", "wrong"));
            QVERIFY(rig.model->errorMsg());
            QCOMPARE(rig.model->token(), std::optional<QString>("t-2"));
            QCOMPARE(rig.model->email(), std::optional<QString>("bo@example.com"));
            QCOMPARE(rig.stored("cv_token"), std::optional<QString>("t-2"));
            QVERIFY(!rig.model->busy());
            QCOMPARE(busy.count(), 2);
        }
        QCOMPARE(rig.model->errorMsg(),
            std::optional<QString>("unexpected reply (AuthResponse: missing key \"user\")"));
    }

    // Signing out, or a service that no longer knows the token, forgets the session
    // and nothing else; the old error goes, and a rejected token says why.
    void sessionEndsForgettingOnlyTheSession_data()
    {
        QTest::addColumn<bool>("rejected");
        QTest::newRow("log out") << false;
        QTest::newRow("token rejected") << true;
    }
    void sessionEndsForgettingOnlyTheSession()
    {
        QFETCH(bool, rejected);
        Rig rig;
        rig.model->setErrorMsg("old error");
        rig.model->setToken("t");
        rig.model->setEmail("a@b.c");
        rig.model->setAccount(BillingAccount {});
        rig.model->setState(AppModel::ConnState::connected);
        rig.model->defaults().setValue("cv_token", "t");
        rig.model->defaults().setValue("cv_email", "a@b.c");
        rig.model->defaults().setValue("cv_exit", "198.51.100.1");
        if (rejected) {
            rig.service.enqueue(401, R"({"message":"sign in to continue"})");
            QCoro::waitFor(rig.model->topUp(1000));
        } else {
            rig.model->logout();
        }
        QCOMPARE(rig.model->errorMsg(), rejected ? std::optional(AppModel::sessionEndedText) : std::nullopt);
        QVERIFY(!rig.model->token() && !rig.model->email() && !rig.model->account());
        QVERIFY(!rig.model->isAuthed());
        QCOMPARE(rig.stored("cv_token"), std::nullopt);
        QCOMPARE(rig.stored("cv_email"), std::nullopt);
        QCOMPARE(rig.stored("cv_exit"), std::optional<QString>("198.51.100.1"));
        QCOMPARE(rig.model->state(), AppModel::ConnState::connected);
        QCOMPARE(rig.service.requests().size(), rejected ? 1 : 0);
    }

    void googleSignIn()
    {
        Rig rig;
        rig.serveLoads();
        QVERIFY(!rig.model->handleCallback(QUrl("corvanta://auth?code=early"))); // nothing waits yet

        QCoro::Task<> task = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        QCOMPARE(rig.opened.size(), 1);
        const QUrl start = rig.opened[0];
        QCOMPARE(start.toString(QUrl::RemoveQuery), rig.service.base() + "/api/auth/oidc/google/start");
        const auto items = QUrlQuery(start).queryItems();
        QCOMPARE(items.size(), 2);
        QCOMPARE(items[0], (QPair<QString, QString> {"mode", "native"}));
        QCOMPARE(items[1].first, QStringLiteral("app_challenge"));
        QVERIFY(rig.model->busy());
        QVERIFY(rig.model->browserSignInWaiting());

        QVERIFY(!rig.model->handleCallback(QUrl("https://evil.example/?code=x"))); // another scheme
        rig.service.enqueue(200, R"({"token":"g-1","email":"g@example.com"})");
        QVERIFY(rig.model->handleCallback(QUrl("corvanta://auth?code=the-code&state=s")));
        QVERIFY(!rig.model->handleCallback(QUrl("corvanta://auth?code=again"))); // one callback only
        QCoro::waitFor(std::move(task));

        const auto exchange = rig.service.requestsTo("/api/auth/oidc/exchange");
        QCOMPARE(exchange.size(), 1);
        const QJsonObject body = QJsonDocument::fromJson(exchange[0].body).object();
        QCOMPARE(body.size(), 2);
        QCOMPARE(body["code"].toString(), QStringLiteral("the-code"));
        // The verifier sent matches the challenge the start address carried.
        QCOMPARE(GoogleAuthFlow::challenge(body["app_verifier"].toString()), startChallenge(start));
        QCOMPARE(rig.model->email(), std::optional<QString>("g@example.com"));
        QCOMPARE(rig.stored("cv_token"), std::optional<QString>("g-1"));
        QCOMPARE(rig.model->account()->balanceCents, 1234);
        QVERIFY(!rig.model->busy());
        QVERIFY(!rig.model->browserSignInWaiting());
    }

    void browserSignInFailures()
    {
        Rig rig;
        rig.model->setToken("kept");
        rig.model->setErrorMsg("old");

        // Closing the browser (Cancel) ends quietly.
        QCoro::Task<> task = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        rig.model->cancelBrowserSignIn();
        QCoro::waitFor(std::move(task));
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(!rig.model->busy());

        // No usable code.
        task = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        rig.model->handleCallback(QUrl("corvanta://auth?error=access_denied"));
        QCoro::waitFor(std::move(task));
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("Google did not return a sign-in code"));

        // A failed exchange keeps the old session.
        rig.service.enqueue(400, R"({"message":"invalid or expired code"})");
        task = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        rig.model->handleCallback(QUrl("corvanta://auth?code=stale"));
        QCoro::waitFor(std::move(task));
        QCOMPARE(rig.model->errorMsg().value_or("<none>"), QStringLiteral("invalid or expired code"));
        QCOMPARE(rig.model->token(), std::optional<QString>("kept"));

        // A second browser sign-in ends the first one quietly; only the second waits.
        QCoro::Task<> first = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        QCoro::Task<> second = rig.startUntilBrowserOpens([&] { return rig.model->loginWithGoogle(); });
        QCoro::waitFor(std::move(first));
        QVERIFY(rig.model->browserSignInWaiting());
        QVERIFY(!rig.model->errorMsg());
        rig.model->cancelBrowserSignIn();
        QCoro::waitFor(std::move(second));
        QVERIFY(!rig.model->browserSignInWaiting());

        // A browser that cannot be opened counts as a cancel.
        rig.browserWorks = false;
        QCoro::waitFor(rig.model->loginWithGoogle());
        QVERIFY(!rig.model->errorMsg());
        QVERIFY(!rig.model->busy());
        QCOMPARE(rig.service.requestsTo("/exchange").size(), 1);
    }

    void ssoNormalizesAndEncodes()
    {
        Rig rig;
        rig.serveLoads();
        rig.service.enqueue(200, R"({"sso":true,"domain":"example.com"})");
        QCoro::Task<> task = rig.startUntilBrowserOpens(
            [&] { return rig.model->loginWithSSO(" \tAnn+VPN&x=1#y@Example.COM  "); });

        const QByteArray encoded = "ann%2Bvpn%26x%3D1%23y@example.com";
        QCOMPARE(rig.service.requests()[0].target, "/api/auth/sso/lookup?email=" + encoded);
        QVERIFY(!rig.service.requests()[0].hasHeader("authorization"));
        const QUrl start = rig.opened.value(0);
        QCOMPARE(start.toString(QUrl::RemoveQuery), rig.service.base() + "/api/auth/sso/start");
        QVERIFY(
            start.query(QUrl::FullyEncoded).startsWith("email=" + encoded + "&mode=native&app_challenge="));
        const auto items = QUrlQuery(start).queryItems(QUrl::FullyDecoded);
        QCOMPARE(items.size(), 3);
        QCOMPARE(items[0].second, QStringLiteral("ann+vpn&x=1#y@example.com"));

        rig.service.enqueue(200, R"({"token":"s-1","email":"ann+vpn@example.com"})");
        rig.model->handleCallback(QUrl("corvanta://auth?code=c"));
        QCoro::waitFor(std::move(task));
        QCOMPARE(rig.model->email(), std::optional<QString>("ann+vpn@example.com"));
        QVERIFY(!rig.model->errorMsg());

        // A domain without SSO: a text, no browser.
        rig.service.enqueue(200, R"({"sso":false})");
        QCoro::waitFor(rig.model->loginWithSSO("bob@gmail.com"));
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("No SSO is configured for that domain"));
        QCOMPARE(rig.opened.size(), 1);
        QVERIFY(!rig.model->busy());

        // A failed lookup shows the request's text.
        rig.service.enqueue(500, "");
        QCoro::waitFor(rig.model->loginWithSSO("bob@example.com"));
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("request failed (500)"));
    }

    void dollarsFormat_data()
    {
        QTest::addColumn<qint64>("cents");
        QTest::addColumn<QString>("text");
        QTest::newRow("ten") << qint64(1000) << "$10.00";
        QTest::newRow("five cents") << qint64(5) << "$0.05";
        QTest::newRow("zero") << qint64(0) << "$0.00";
        QTest::newRow("negative") << qint64(-250) << "$-2.50";
        QTest::newRow("thousands") << qint64(123456789) << "$1234567.89";
    }

    void dollarsFormat()
    {
        QFETCH(qint64, cents);
        QFETCH(QString, text);
        QCOMPARE(AppModel::dollars(cents), text);
    }

    void checkoutOpensOnlyWebPages_data()
    {
        QTest::addColumn<QString>("checkoutUrl");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << "https://pay.example/c/1" << true;
        QTest::newRow("http") << "http://127.0.0.1:9/checkout/1" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("app scheme") << "corvanta://auth?code=x" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
        QTest::newRow("no host") << "https:///path" << false;
        QTest::newRow("not a URL") << "http://exa mple.com" << false;
    }

    void checkoutOpensOnlyWebPages()
    {
        QFETCH(QString, checkoutUrl);
        QFETCH(bool, opens);
        Rig rig;
        rig.model->setToken("t");
        rig.model->setErrorMsg("earlier");
        rig.service.enqueue(
            200, QJsonDocument(QJsonObject {{"invoiceId", "i"}, {"checkoutUrl", checkoutUrl}}).toJson());
        QCoro::waitFor(rig.model->topUp(1000));
        QCOMPARE(rig.opened.size(), opens ? 1 : 0);
        if (opens)
            QCOMPARE(rig.opened[0].toString(), checkoutUrl);
        QVERIFY(!rig.model->errorMsg());
        const auto request = rig.service.requests()[0];
        QCOMPARE(request.target, QByteArray("/api/billing/topup"));
        QCOMPARE(request.body, QByteArray(R"({"amountCents":1000})"));
        QCOMPARE(request.header("authorization"), QByteArray("Bearer t"));
    }

    void subscribeAndAccountLoads()
    {
        Rig rig;
        QCoro::waitFor(rig.model->loadAccount()); // signed out: nothing sent
        QVERIFY(rig.service.requests().isEmpty());

        rig.model->setToken("t");
        rig.service.enqueue(422, R"({"message":["already subscribed"]})");
        QCoro::waitFor(rig.model->subscribe());
        QCOMPARE(rig.service.requests()[0].body, QByteArray("{}"));
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("already subscribed"));

        rig.model->setErrorMsg("keep");
        rig.service.enqueue(200, account);
        QCoro::waitFor(rig.model->loadAccount());
        QCOMPARE(rig.model->account()->pricePerHourCents, 3);
        rig.service.enqueue(200, "null");
        QCoro::waitFor(rig.model->loadAccount());
        QVERIFY(!rig.model->account());
        rig.service.enqueue(200, account);
        QCoro::waitFor(rig.model->loadAccount());
        rig.service.enqueue(500, "");
        QCoro::waitFor(rig.model->loadAccount());
        QVERIFY(!rig.model->account()); // a failure clears what was shown
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("keep"));
    }
};

QTEST_GUILESS_MAIN(TestAccounts)
#include "tst_accounts.moc"
