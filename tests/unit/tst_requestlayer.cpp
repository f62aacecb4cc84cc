#include "AppModel.h"
#include "FakeService.h"
#include "HttpClient.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;
using namespace Qt::StringLiterals;

namespace {
const QByteArray regionJson = R"([{"id":"r1","country":"C","city":"c","flag":"f","status":"online"}])";

// The ids of the regions read, or the error as "domain code: text".
QString describe(const Outcome<QList<Region>> &outcome)
{
    if (outcome.error)
        return u"%1 %2: %3"_s.arg(outcome.error->domain()).arg(outcome.error->code()).arg(outcome.error->description());
    QStringList ids;
    for (const Region &region : *outcome.value)
        ids << region.id;
    return ids.join(' ');
}

template<class T> QString errorText(const Outcome<T> &outcome)
{
    return outcome.error ? outcome.error->description() : QString();
}
} // namespace

class TestRequestLayer : public QObject
{
    Q_OBJECT

private slots:
    void checkTurnsStatusIntoText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        const auto message = [](const QString &text) { return "{\"message\":\"" + text.toUtf8() + "\"}"; };
        QTest::newRow("no body") << 404 << QByteArray() << "request failed (404)";
        QTest::newRow("message text") << 401 << message("invalid email or password") << "invalid email or password";
        QTest::newRow("message array") << 422 << R"({"message":["email is invalid","password too short"]})"_ba
                                       << "email is invalid, password too short";
        QTest::newRow("empty array") << 422 << R"({"message":[]})"_ba << "";
        QTest::newRow("array with number") << 422 << R"({"message":["a",1]})"_ba << "request failed (422)";
        QTest::newRow("message number") << 500 << R"({"message":5})"_ba << "request failed (500)";
        QTest::newRow("300 is a failure") << 300 << QByteArray() << "request failed (300)";
        QTest::newRow("below 200") << 199 << message("early") << "early";
        QTest::newRow("longest kept") << 500 << message(QString(300, 'x')) << QString(300, 'x');
        QTest::newRow("huge message cut") << 500 << message(QString(100'000, 'x')) << QString(300, 'x') + "…";
        QTest::newRow("never half a character") << 500 << message(QString(299, 'x') + "😀y") << QString(299, 'x') + "…";
    }

    void checkTurnsStatusIntoText()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        try {
            AppModel::check(status, body);
            QFAIL("check accepted a failure status");
        } catch (const ApiError &e) {
            QCOMPARE(e.description(), text);
            QCOMPARE(e.code(), status);
            QCOMPARE(e.domain(), ApiError::serviceDomain);
        }
    }

    void requestsCarryMethodAuthAndBody()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.setFallback({200, regionJson, {}});
        QVERIFY(run(model->get<QList<Region>>("/api/regions", true)).value); // signed out
        model->setToken(u"tok-1"_s);
        QVERIFY(run(model->get<QList<Region>>("/api/regions")).value);
        QVERIFY(run(model->get<QList<Region>>("/api/regions?x=1", true)).value);
        QVERIFY(!errorOf(model->postRaw("/api/t", {{"email", "a@b.c"}, {"password", "p w\"1"}}, false)));
        model->setToken(u""_s); // an empty token is still a token (the wire drops the trailing blank)
        service.setFallback({200, R"({"invoiceId":"i","checkoutUrl":"u"})", {}});
        QVERIFY(run(model->postJSON<CheckoutResp>("/api/billing/topup", {{"amountCents", 2500}}, true)).value);
        QVERIFY(run(model->postJSON<CheckoutResp>("/api/billing/subscribe", {}, true)).value);
        QByteArrayList seen;
        for (const RecordedRequest &r : service.requests())
            seen << r.method + ' ' + r.target + " [" + (r.hasHeader("authorization") ? r.header("authorization") : "-"_ba)
                    + "] [" + r.header("content-type") + "] " + r.body;
        QCOMPARE(seen, QByteArrayList({
            "GET /api/regions [-] [] ",
            "GET /api/regions [-] [] ",
            "GET /api/regions?x=1 [Bearer tok-1] [] ",
            "POST /api/t [-] [application/json] {\"email\":\"a@b.c\",\"password\":\"p w\\\"1\"}",
            R"(POST /api/billing/topup [Bearer] [application/json] {"amountCents":2500})",
            "POST /api/billing/subscribe [Bearer] [application/json] {}",
        }));
    }

    void unusableAddressFailsBeforeSending_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::newRow("empty base") << "" << "/api/regions";
        QTest::newRow("no scheme") << "127.0.0.1:9" << "/api/regions";
        QTest::newRow("other scheme") << "ftp://127.0.0.1:9" << "/api/regions";
        QTest::newRow("space in path") << "http://127.0.0.1:9" << "/api/regions/a b/ensure";
        QTest::newRow("no host") << "http://" << "/api/regions";
    }

    void unusableAddressFailsBeforeSending()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        ModelMaker maker;
        auto model = maker.make(base);
        QCOMPARE(errorText(run(model->get<QList<Region>>(path))), u"invalid service address \"%1\""_s.arg(base + path));
    }

    // Decoding here or on a worker thread gives the same outcome.
    void repliesBecomeValuesOrErrors_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome");
        const QByteArray a = R"({"id":"a","country":"A","city":"a","flag":"x","status":"online"})";
        QTest::newRow("list") << 200 << "[" + a + R"(,{"id":"b","country":"B","city":"b","flag":"y","status":"soon"}])"
                              << "a b";
        QTest::newRow("bad element") << 200 << "[" + a + R"(,{"id":"b"}])"
                                     << "decoding 0: unexpected reply (Region[1]: missing key \"country\")";
        QTest::newRow("no content") << 204 << QByteArray() << "decoding 0: unexpected reply (empty body)";
        QTest::newRow("service text") << 503 << R"({"message":"down for maintenance"})"_ba
                                      << "corvanta 503: down for maintenance";
    }

    void repliesBecomeValuesOrErrors()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        FakeService service;
        service.setFallback({status, body, {}});
        ModelMaker maker;
        auto model = maker.make(service.base());
        QCOMPARE(describe(run(model->get<QList<Region>>("/api/regions"))), outcome);
        QCOMPARE(describe(run(model->getDecodedElsewhere<QList<Region>>("/api/regions"))), outcome);
    }

    void transportFailuresAreReadable()
    {
        QTcpServer probe; // a port nobody listens on: take one, then close it
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        ModelMaker maker;
        auto model = maker.make(u"http://127.0.0.1:%1"_s.arg(closedPort));
        QCOMPARE(describe(run(model->get<QList<Region>>("/api/regions"))), u"network 0: Connection refused"_s);

        FakeService silent;
        silent.setSilent(true);
        auto slow = maker.make(silent.base(), Timing {std::chrono::milliseconds(300)});
        QCOMPARE(errorText(run(slow->get<QList<Region>>("/api/regions"))), u"the service did not answer in time"_s);
        QCOMPARE(silent.requests().size(), 1);
    }

    // Whatever the other end sends, a reply is read within bounds or refused with
    // a plain reason; odd but valid framing still reads.
    void repliesAreBoundedAndStrict_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("later"); // null: the connection closes; else sent every 50 ms, 1 s deadline
        QTest::addColumn<QString>("error");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray closes;
        const QString tooLarge = "the service's reply was too large";
        const QString notHttp = "the service's reply was not valid HTTP";
        QTest::newRow("chunked, extensions and trailer")
            << chunked + "1;x=y\r\n[\r\n9F\r\n" + QByteArray(158, ' ') + "]\r\n0\r\nT: v\r\n\r\n" << closes << QString();
        QTest::newRow("bare line ends, split after data")
            << ok + "Transfer-Encoding: chunked\n\n1\n[" << "\n1\n]\n0\n\n"_ba << QString();
        QTest::newRow("interim reply first, body until close")
            << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Z9-z: 1\r\n\r\n[]" << closes << QString();
        QTest::newRow("huge body") << ok + "\r\n[" + QByteArray(AppModel::maxListReplyBytes, ' ') << closes << tooLarge;
        QTest::newRow("huge length announced") << ok + "Content-Length: 99999999999\r\n\r\n" << closes << tooLarge;
        QTest::newRow("huge chunk") << chunked + "fffffff\r\n" + QByteArray(AppModel::maxListReplyBytes + 1, ' ')
                                    << closes << tooLarge;
        QTest::newRow("huge headers") << ok + "X: " + QByteArray(100'000, 'a') << closes
                                      << "the service's reply headers were too large";
        QTest::newRow("too many headers") << ok + "A: b\r\n"_ba.repeated(101) + "\r\n[]" << closes << notHttp;
        QTest::newRow("header line injection") << ok + "A\rB: c\r\n\r\n[]" << closes << notHttp;
        QTest::newRow("blank in a header name") << ok + "A B: c\r\n\r\n[]" << closes << notHttp;
        QTest::newRow("not HTTP") << "SSH-2.0-x\r\n\r\n"_ba << closes << notHttp;
        QTest::newRow("chunk size not plain hex") << chunked + "0x2\r\n[]\r\n0\r\n\r\n" << closes << notHttp;
        QTest::newRow("other coding") << ok + "Transfer-Encoding: gzip\r\n\r\n[]" << closes << notHttp;
        QTest::newRow("cut off") << ok + "Content-Length: 10\r\n\r\n[]" << closes << "the service's reply was cut off";
        QTest::newRow("closed without answering")
            << QByteArray() << closes << "the service closed the connection without answering";
        QTest::newRow("trickle") << ok + "Content-Length: 1000\r\n\r\n" << " "_ba << "the service did not answer in time";
    }

    void repliesAreBoundedAndStrict()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, later);
        QFETCH(QString, error);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTimer dripping;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            peer->write(reply);
            if (later.isNull())
                return peer->disconnectFromHost();
            QObject::connect(&dripping, &QTimer::timeout, peer, [peer, later] { peer->write(later); });
            dripping.start(50);
        });
        ModelMaker maker;
        auto model = maker.make(u"http://127.0.0.1:%1"_s.arg(server.serverPort()),
            Timing {std::chrono::seconds(20), {}, {}, std::chrono::milliseconds(later.isNull() ? 20'000 : 1'000)});
        const auto outcome = run(model->get<QList<Region>>("/api/regions"));
        QCOMPARE(errorText(outcome), error);
        QCOMPARE(bool(outcome.value), error.isEmpty());
    }

    // However far an exchange has got when its owner goes, its waiter hears the
    // end: a waiter never told is a coroutine left hanging (and leaked).
    void ownerGoneAtAnyStepEndsTheWait()
    {
        FakeService service;
        service.setFallback({200, "[]", {}});
        const http::Limits limits {4096, std::chrono::seconds(5), std::chrono::seconds(5)};
        for (int steps = 0; steps < 30; ++steps) {
            QObject owner;
            bool heard = false;
            const auto wait = [&]() -> QCoro::Task<> {
                const http::Request request {QUrl(service.base() + "/"), "GET", {}, {}};
                try {
                    co_await http::exchange(request, limits, &owner);
                } catch (const ApiError &) {
                }
                heard = true;
            };
            const auto task = wait();
            for (int step = 0; step < steps; ++step) {
                QThread::msleep(2);
                QCoreApplication::processEvents();
            }
            http::abandonAll(&owner);
            QVERIFY2(heard, qPrintable(u"owner gone after %1 steps"_s.arg(steps)));
        }
    }

    void redirectsKeepCredentialsHome()
    {
        FakeService first;
        FakeService second;
        second.setFallback({200, regionJson, {}});
        const QByteArray elsewhere = (second.base() + "/api/regions").toUtf8();
        ModelMaker maker;
        auto model = maker.make(first.base());
        model->setToken(u"secret-token"_s);
        const auto redirect = [&](int status, const QByteArray &to) { first.enqueue({status, {}, {{"Location", to}}}); };
        const auto regions = [&](bool auth) { return run(model->get<QList<Region>>("/api/regions", auth)); };

        // Neither a token nor a body with a password goes to another origin.
        redirect(302, elsewhere);
        QCOMPARE(errorText(regions(true)), u"the service redirected the request to another site; it was not followed"_s);
        redirect(307, elsewhere);
        QVERIFY(run(model->post<AuthResponse>("/api/auth/login", {{"password", "hunter2"}})).error);
        QVERIFY(second.requests().isEmpty());

        // At home the token goes along; after a 303 a POST becomes a plain GET.
        redirect(303, "/api/next");
        first.enqueue({200, {}, {}});
        QVERIFY(!errorOf(model->postRaw("/api/start", {{"a", "b"}}, true)));
        const RecordedRequest &followed = first.requests().last();
        QCOMPARE(followed.method + ' ' + followed.target + ' ' + followed.header("authorization") + ' '
                + followed.header("content-type") + followed.body,
            "GET /api/next Bearer secret-token "_ba);

        // Without credentials, redirects are followed as usual.
        redirect(302, elsewhere);
        QCOMPARE(describe(regions(false)), u"r1"_s);
        QCOMPARE(second.requests().size(), 1);
        QVERIFY(!second.requests().first().hasHeader("authorization"));

        // An address that cannot be sent to, or one redirect too many, ends the request.
        const QString invalid = "the service redirected the request to an invalid address";
        redirect(301, "ftp://127.0.0.1:9/x");
        QCOMPARE(errorText(regions(false)), invalid);
        const qsizetype before = first.requests().size();
        first.setFallback({308, {}, {{"Location", "/again"}}});
        QCOMPARE(errorText(regions(false)), invalid);
        QCOMPARE(first.requests().size() - before, 6); // the request and five redirects
    }
};

QTEST_GUILESS_MAIN(TestRequestLayer)
#include "tst_requestlayer.moc"
