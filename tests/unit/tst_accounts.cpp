// Sign-in (password, Google, company SSO), sign-out and billing.

#include "AppModel.h"
#include "FakeService.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

namespace {

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

    auto stored(const char *key) const { return DefaultsStore(maker.settingsFile()).value(key); }

    // Starts a Google (null e-mail) or company sign-in and runs it until the browser opens.
    QCoro::Task<> browserSignIn(const QString &workEmail = {})
    {
        const int before = opened.size();
        QCoro::Task<> task = workEmail.isNull() ? model->loginWithGoogle() : model->loginWithSSO(workEmail);
        (void)QTest::qWaitFor([&] { return opened.size() > before || !model->busy(); }, 5000);
        return task;
    }
};

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT

private slots:
    // A sign-in sends the e-mail as typed and keeps the one the service returns; a
    // failed one keeps the session. Signing out, or a service that no longer knows the
    // token, forgets the session and nothing else; a rejected token says why.
    void passwordSessionLifecycle_data()
    {
        QTest::addColumn<bool>("rejected");
        QTest::newRow("log out") << false;
        QTest::newRow("token rejected") << true;
    }
    void passwordSessionLifecycle()
    {
        QFETCH(bool, rejected);
        Rig rig;
        rig.service.setFallback({200, "[]", {}}); // the loads that follow a sign-in
        rig.service.enqueue(200, R"({"token":"t-1","user":{"id":"u","email":"ann@example.com"}})");
        rig.model->setToken("old");
        rig.model->setErrorMsg("old error");
        rig.model->defaults().setValue("cv_exit", "198.51.100.1");
        QCoro::waitFor(rig.model->login(" Ann@Example.com ", "pw"));
        const RecordedRequest sent = rig.service.requests()[0];
        QVERIFY(!sent.hasHeader("authorization"));
        QCOMPARE(QJsonDocument::fromJson(sent.body).object(),
            (QJsonObject {{"email", " Ann@Example.com "}, {"password", "pw"}}));
        QCOMPARE(rig.stored("cv_token"), std::optional<QString>("t-1"));
        QCOMPARE(rig.stored("cv_email"), std::optional<QString>("ann@example.com"));
        QVERIFY(!rig.model->errorMsg() && !rig.model->busy());

        rig.service.enqueue(200, R"({"token":"t-2"})");
        QSignalSpy busy(rig.model.get(), &AppModel::busyChanged);
        QCoro::waitFor(rig.model->registerAccount("bo@example.com", "longpassword"));
        QVERIFY(rig.model->errorMsg()); // a reply without the user
        QCOMPARE(rig.model->token(), std::optional<QString>("t-1"));
        QCOMPARE(rig.stored("cv_token"), std::optional<QString>("t-1"));
        QCOMPARE(busy.count(), 2);

        rig.model->setAccount(BillingAccount {});
        rig.service.enqueue(401, R"({"message":"sign in to continue"})");
        if (rejected)
            QCoro::waitFor(rig.model->topUp(1000));
        else
            rig.model->logout();
        QCOMPARE(rig.model->errorMsg(), rejected ? std::optional(AppModel::sessionEndedText) : std::nullopt);
        QVERIFY(!rig.model->token() && !rig.model->email() && !rig.model->account() && !rig.model->busy());
        QVERIFY(!rig.stored("cv_token") && !rig.stored("cv_email"));
        QCOMPARE(rig.stored("cv_exit"), std::optional<QString>("198.51.100.1"));
    }

    // Company sign-on for a normalized, encoded e-mail; it quietly ends the Google
    // sign-in that waits, and only one callback, of the app's scheme, counts.
    void browserSignIn()
    {
        Rig rig;
        rig.service.setFallback({200, "[]", {}});
        QCoro::Task<> google = rig.browserSignIn();
        QVERIFY(rig.model->busy() && rig.model->browserSignInWaiting());
        rig.service.enqueue(200, R"({"sso":true,"domain":"example.com"})");
        QCoro::Task<> sso = rig.browserSignIn("Ann+VPN&x=1#y@Example.COM \t ");
        QVERIFY(QTest::qWaitFor([&] { return google.isReady(); }, 5000)); // the first ended, quietly
        QVERIFY(rig.model->browserSignInWaiting() && !rig.model->errorMsg());
        const QByteArray encoded = "ann%2Bvpn%26x%3D1%23y@example.com";
        QCOMPARE(rig.service.requests()[0].target, "/api/auth/sso/lookup?email=" + encoded);
        QVERIFY(
            rig.opened.value(1).toString(QUrl::FullyEncoded).contains("/sso/start?email=" + encoded + '&'));
        QVERIFY(!rig.model->handleCallback(QUrl("https://evil.example/?code=x"))); // another scheme
        rig.service.enqueue(200, R"({"token":"g-1","email":"g@example.com"})");
        QVERIFY(rig.model->handleCallback(QUrl("corvanta://auth?state=s&code=the%2Bcode&code=two")));
        QVERIFY(!rig.model->handleCallback(QUrl("corvanta://auth?code=again")));
        QCoro::waitFor(std::move(sso));
        const auto body = QJsonDocument::fromJson(rig.service.requestsTo("/exchange").value(0).body).object();
        QCOMPARE(body["code"].toString(), QStringLiteral("the+code")); // the first, decoded
        const QString verifier = body["app_verifier"].toString();
        QVERIFY2(QRegularExpression("^[A-Za-z0-9_-]{43}$").match(verifier).hasMatch(), qPrintable(verifier));
        QVERIFY(GoogleAuthFlow::randomURLSafe(32) != GoogleAuthFlow::randomURLSafe(32));
        QCOMPARE(GoogleAuthFlow::base64URLEncodedString(QByteArray("\xfb\xff", 2)), QStringLiteral("-_8"));
        QCOMPARE(rig.model->email(), std::optional<QString>("g@example.com"));
        QVERIFY(!rig.model->busy() && !rig.model->browserSignInWaiting() && !rig.model->errorMsg());
    }

    // However a browser sign-in fails, the old session stays; a closed browser or
    // one that cannot be opened is no error.
    void browserSignInFailures_data()
    {
        QTest::addColumn<QString>("workEmail"); // null: Google
        QTest::addColumn<bool>("browserWorks");
        QTest::addColumn<QString>("callback"); // empty: the user cancels
        QTest::addColumn<QString>("error");
        const QString none, code = "corvanta://auth?code=x", noCode = "Google did not return a sign-in code";
        QTest::newRow("google cancelled") << none << true << none << none;
        QTest::newRow("sso cancelled") << "jo@example.com" << true << none << none;
        QTest::newRow("no browser") << none << false << none << none;
        QTest::newRow("no code") << none << true << "corvanta://auth?error=access_denied" << noCode;
        QTest::newRow("empty code") << none << true << "corvanta://auth?code=&code=x" << noCode;
        QTest::newRow("sso refused") << "jo@example.com" << true << code << "invalid or expired code";
        QTest::newRow("no sso") << "bob@gmail.com" << true << none << "No SSO is configured for that domain";
    }
    void browserSignInFailures()
    {
        QFETCH(QString, workEmail);
        QFETCH(bool, browserWorks);
        QFETCH(QString, callback);
        QFETCH(QString, error);
        Rig rig;
        rig.browserWorks = browserWorks;
        rig.model->setToken("kept");
        rig.model->setErrorMsg("old");
        rig.service.setHandler([](const RecordedRequest &r) -> std::optional<FakeReply> {
            if (r.target.startsWith("/api/auth/sso/lookup"))
                return FakeReply {
                    200, r.target.contains("gmail") ? R"({"sso":false})" : R"({"sso":true})", {}};
            return FakeReply {400, R"({"message":"invalid or expired code"})", {}};
        });
        QCoro::Task<> task = rig.browserSignIn(workEmail);
        if (callback.isEmpty())
            rig.model->cancelBrowserSignIn();
        else
            QVERIFY(rig.model->handleCallback(QUrl(callback)));
        QCoro::waitFor(std::move(task));
        QCOMPARE(rig.model->errorMsg().value_or(""), error);
        QCOMPARE(rig.model->token(), std::optional<QString>("kept"));
        QVERIFY(!rig.model->busy() && !rig.model->browserSignInWaiting());
    }

    void checkoutOpensOnlyWebPages_data()
    {
        QTest::addColumn<QString>("checkoutUrl");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << "https://pay.example/c/1" << true;
        QTest::newRow("app scheme") << "corvanta://auth?code=x" << false;
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
        QCOMPARE(rig.opened, opens ? QList<QUrl> {QUrl(checkoutUrl)} : QList<QUrl> {});
        QVERIFY(!rig.model->errorMsg());
    }

    void subscribeAndAccountLoads()
    {
        QCOMPARE(AppModel::dollars(-123405), QStringLiteral("$-1234.05"));
        Rig rig;
        rig.model->setToken("t");
        rig.service.enqueue(422, R"({"message":["already subscribed"]})");
        QCoro::waitFor(rig.model->subscribe());
        QCOMPARE(rig.model->errorMsg(), std::optional<QString>("already subscribed"));

        rig.model->setAccount(BillingAccount {});
        rig.service.enqueue(500, "");
        QCoro::waitFor(rig.model->loadAccount());
        QVERIFY(!rig.model->account()); // an account that cannot be read is not shown
    }
};

QTEST_GUILESS_MAIN(TestAccounts)
#include "tst_accounts.moc"
