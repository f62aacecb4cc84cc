#include "AppModel.h"
#include "FakeService.h"
#include "HttpClient.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTest>

using namespace corvanta;
using namespace corvanta::test;

namespace {
const QByteArray regionJson
    = "[{\"id\":\"r1\",\"country\":\"C\",\"city\":\"c\",\"flag\":\"f\",\"status\":\"online\"}]";
const QByteArray accountJson = "{\"balanceCents\":5,\"subscriptionActive\":false,"
                               "\"pricePerHourCents\":1,\"subMonthlyCents\":2}";
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
        QTest::newRow("404 empty") << 404 << QByteArray() << "request failed (404)";
        QTest::newRow("401 not JSON") << 401 << QByteArray("Unauthorized") << "request failed (401)";
        QTest::newRow("message text")
            << 401 << QByteArray(R"({"message":"invalid email or password"})") << "invalid email or password";
        QTest::newRow("message array")
            << 422 << QByteArray(R"({"message":["email is invalid","password too short"]})")
            << "email is invalid, password too short";
        QTest::newRow("empty array") << 422 << QByteArray(R"({"message":[]})") << "";
        QTest::newRow("array with number")
            << 422 << QByteArray(R"({"message":["a",1]})") << "request failed (422)";
        QTest::newRow("empty message") << 400 << QByteArray(R"({"message":""})") << "";
        QTest::newRow("no message") << 500 << QByteArray(R"({"error":"boom"})") << "request failed (500)";
        QTest::newRow("message number") << 500 << QByteArray(R"({"message":5})") << "request failed (500)";
        QTest::newRow("message null") << 500 << QByteArray(R"({"message":null})") << "request failed (500)";
        QTest::newRow("message object")
            << 500 << QByteArray(R"({"message":{"a":"b"}})") << "request failed (500)";
        QTest::newRow("top-level array") << 500 << QByteArray(R"(["message"])") << "request failed (500)";
        QTest::newRow("300 is a failure") << 300 << QByteArray() << "request failed (300)";
        QTest::newRow("below 200") << 199 << QByteArray(R"({"message":"early"})") << "early";
        QTest::newRow("huge message cut")
            << 500 << "{\"message\":\"" + QByteArray(100'000, 'x') + "\"}" << QString(300, 'x') + "…";
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
            QCOMPARE(e.domain(), QStringLiteral("corvanta"));
        }
    }

    void getBuildsPlainRequest()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.setFallback({200, regionJson, {}});

        // auth false: no header even with a token; auth true: bearer; signed out: none.
        QVERIFY(run(model->get<QList<Region>>("/api/regions")).value);
        QVERIFY(run(model->get<QList<Region>>("/api/regions", true)).value);
        model->setToken(QStringLiteral("tok-1"));
        QVERIFY(run(model->get<QList<Region>>("/api/regions")).value);
        QVERIFY(run(model->get<QList<Region>>("/api/regions?x=1", true)).value);

        const auto &seen = service.requests();
        QCOMPARE(seen.size(), 4);
        for (const auto &request : seen) {
            QCOMPARE(request.method, QByteArray("GET"));
            QVERIFY(!request.hasHeader("content-type"));
            QVERIFY(request.body.isEmpty());
        }
        QCOMPARE(seen[0].target, QByteArray("/api/regions"));
        QVERIFY(!seen[0].hasHeader("authorization"));
        QVERIFY(!seen[1].hasHeader("authorization"));
        QVERIFY(!seen[2].hasHeader("authorization"));
        QCOMPARE(seen[3].target, QByteArray("/api/regions?x=1"));
        QCOMPARE(seen[3].header("authorization"), QByteArray("Bearer tok-1"));
    }

    void postBodiesAreCompactJson()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        model->setToken(QStringLiteral(""));
        service.setFallback({200, R"({"invoiceId":"i","checkoutUrl":"u"})", {}});

        QVERIFY(run(model->post<CheckoutResp>("/api/t", {{"email", "a@b.c"}, {"password", "p w\"1"}})).value);
        QVERIFY(
            run(model->postJSON<CheckoutResp>("/api/billing/topup", {{"amountCents", 2500}}, true)).value);
        QVERIFY(run(model->postJSON<CheckoutResp>("/api/billing/subscribe", {}, true)).value);
        QVERIFY(!errorOf(model->postRaw("/api/r/heartbeat", {{"sessionId", "s-1"}}, true)));

        const auto &seen = service.requests();
        QCOMPARE(seen.size(), 4);
        for (const auto &request : seen) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        }
        // Text maps as strings, integer maps as numbers, nothing but the members.
        QCOMPARE(QJsonDocument::fromJson(seen[0].body).object(),
            (QJsonObject {{"email", "a@b.c"}, {"password", "p w\"1"}}));
        QVERIFY(!seen[0].body.contains('\n'));
        QVERIFY(!seen[0].hasHeader("authorization"));
        QCOMPARE(seen[1].body, QByteArray(R"({"amountCents":2500})"));
        // An empty token is still a token (the wire drops the trailing blank).
        QCOMPARE(seen[1].header("authorization"), QByteArray("Bearer"));
        QCOMPARE(seen[2].body, QByteArray("{}"));
        QCOMPARE(seen[3].body, QByteArray(R"({"sessionId":"s-1"})"));
    }

    void baseIsConcatenatedAsIs()
    {
        FakeService service;
        ModelMaker maker;
        service.setFallback({200, regionJson, {}});
        auto model = maker.make(service.base() + "/");
        QCOMPARE(model->requestUrl("/api/regions").toString(), service.base() + "//api/regions");
        // Qt's HTTP layer collapses the two slashes on the wire; the request still goes out.
        QVERIFY(run(model->get<QList<Region>>("/api/regions")).value);
        QCOMPARE(service.requests().size(), 1);
    }

    void unusableAddressFailsBeforeSending_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::newRow("empty base") << ""
                                    << "/api/regions";
        QTest::newRow("no scheme") << "127.0.0.1:9"
                                   << "/api/regions";
        QTest::newRow("other scheme") << "ftp://127.0.0.1"
                                      << "/api/regions";
        QTest::newRow("file scheme") << "file:///etc"
                                     << "/passwd";
        QTest::newRow("space in path") << "http://127.0.0.1:9"
                                       << "/api/regions/a b/ensure";
        QTest::newRow("no host") << "http://"
                                 << "/api/regions";
    }

    void unusableAddressFailsBeforeSending()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(base);
        const auto outcome = run(model->get<QList<Region>>(path));
        QVERIFY(outcome.error);
        QCOMPARE(
            outcome.error->description(), QStringLiteral("invalid service address \"%1\"").arg(base + path));
        QVERIFY(service.requests().isEmpty());
    }

    void emptyRepliesAndDecodingFailures()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.enqueue(204, {});
        service.enqueue(204, {});
        service.enqueue(200, "null");
        service.enqueue(200, accountJson);
        service.enqueue(200, R"({"state":5})");

        QVERIFY(!errorOf(model->postRaw("/api/x", {}, true)));
        const auto empty = run(model->get<QList<Region>>("/api/regions"));
        QVERIFY(empty.error);
        QCOMPARE(empty.error->domain(), ApiError::decodingDomain);
        QCOMPARE(empty.error->description(), QStringLiteral("unexpected reply (empty body)"));

        const auto none = run(model->get<std::optional<BillingAccount>>("/api/billing/account", true));
        QVERIFY(none.value && !none.value->has_value());
        const auto some = run(model->get<std::optional<BillingAccount>>("/api/billing/account", true));
        QVERIFY(some.value && some.value->has_value());
        QCOMPARE((*some.value)->balanceCents, 5);

        const auto bad = run(model->post<EnsureResponse>("/api/regions/r/ensure", {{"sessionId", ""}}, true));
        QCOMPARE(bad.error->description(),
            QStringLiteral("unexpected reply (EnsureResponse: key \"state\" must be text)"));
    }

    void decodingOnAWorkerThreadGivesTheSameResults()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        const QByteArray twoRegions = R"([{"id":"a","country":"A","city":"a","flag":"x","status":"online"},)"
                                      R"({"id":"b","country":"B","city":"b","flag":"y","status":"soon"}])";
        service.enqueue(200, twoRegions);
        service.enqueue(200, R"([{"id":"a","country":"A","city":"a","flag":"x","status":"online"},{"id":"b"}])");
        service.enqueue(503, R"({"message":"down for maintenance"})");

        const auto good = run(model->getDecodedElsewhere<QList<Region>>("/api/regions"));
        QVERIFY(good.value);
        QCOMPARE(*good.value, decodeReply<QList<Region>>(twoRegions));
        // Failures come back whole: domain and the text naming the record and key.
        const auto bad = run(model->getDecodedElsewhere<QList<Region>>("/api/regions"));
        QVERIFY(bad.error);
        QCOMPARE(bad.error->domain(), ApiError::decodingDomain);
        QCOMPARE(bad.error->description(), QStringLiteral("unexpected reply (Region[1]: missing key \"country\")"));
        const auto refused = run(model->getDecodedElsewhere<QList<Region>>("/api/regions"));
        QVERIFY(refused.error);
        QCOMPARE(refused.error->description(), QStringLiteral("down for maintenance"));
    }

    void errorStatusCarriesServiceText()
    {
        FakeService service;
        ModelMaker maker;
        auto model = maker.make(service.base());
        service.enqueue(422, R"({"message":["email is invalid","password too short"]})");
        service.enqueue(500, "<html>oops</html>");
        service.enqueue(400, R"({"message":"invalid or expired code"})");
        service.enqueue(403, R"({"message":"forbidden"})");
        const auto first
            = run(model->post<AuthResponse>("/api/auth/register", {{"email", ""}, {"password", ""}}));
        QCOMPARE(first.error->description(), QStringLiteral("email is invalid, password too short"));
        QCOMPARE(first.error->code(), 422);
        // postRaw ignores bodies of good replies but still checks the status.
        const auto second = errorOf(model->postRaw("/api/regions/r/release", {{"sessionId", "s"}}, true));
        QCOMPARE(second->description(), QStringLiteral("request failed (500)"));
        // Statuses Qt files under other error kinds still carry the service's text.
        for (const char *text : {"invalid or expired code", "forbidden"}) {
            const auto outcome = run(model->get<QList<Region>>("/api/regions"));
            QCOMPARE(outcome.error->description(), QString::fromUtf8(text));
            QCOMPARE(outcome.error->domain(), ApiError::serviceDomain);
        }
    }

    void transportFailuresAreReadable()
    {
        // A port nobody listens on: take one, then close it.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();

        ModelMaker maker;
        auto model = maker.make(QStringLiteral("http://127.0.0.1:%1").arg(closedPort));
        const auto refused = run(model->get<QList<Region>>("/api/regions"));
        QVERIFY(refused.error);
        QCOMPARE(refused.error->domain(), ApiError::networkDomain);
        QCOMPARE(refused.error->description(), QStringLiteral("Connection refused"));

        FakeService silent;
        silent.setSilent(true);
        auto slow = maker.make(silent.base(), Timing {std::chrono::milliseconds(300)});
        const auto timedOut = run(slow->get<QList<Region>>("/api/regions"));
        QVERIFY(timedOut.error);
        QCOMPARE(timedOut.error->description(), QStringLiteral("the service did not answer in time"));
        QCOMPARE(silent.requests().size(), 1);
    }

    // Whatever the other end sends, a reply is read within bounds or refused with
    // a plain reason; odd but valid framing still reads.
    void repliesAreBoundedAndStrict_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("drip"); // then a byte every 50 ms, against a 400 ms deadline
        QTest::addColumn<QString>("error");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QString tooLarge = "the service's reply was too large";
        const QString notHttp = "the service's reply was not valid HTTP";
        QTest::newRow("chunked, extensions and trailer")
            << ok + "Transfer-Encoding: chunked\r\n\r\n1;x=y\r\n[\r\n1\r\n]\r\n0\r\nT: v\r\n\r\n" << false << QString();
        QTest::newRow("interim reply first, body until close")
            << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "\r\n[]" << false << QString();
        QTest::newRow("huge body") << ok + "\r\n[" + QByteArray(AppModel::maxListReplyBytes, ' ') << false << tooLarge;
        QTest::newRow("huge length announced") << ok + "Content-Length: 99999999999\r\n\r\n" << false << tooLarge;
        QTest::newRow("huge chunk") << ok + "Transfer-Encoding: chunked\r\n\r\nfffffff\r\n"
                + QByteArray(AppModel::maxListReplyBytes + 1, ' ')
                                    << false << tooLarge;
        QTest::newRow("huge headers") << ok + "X: " + QByteArray(100'000, 'a') << false
                                      << "the service's reply headers were too large";
        QTest::newRow("too many headers") << ok + QByteArray("A: b\r\n").repeated(101) + "\r\n[]" << false
                                          << notHttp;
        QTest::newRow("header line injection") << ok + "A\rB: c\r\n\r\n[]" << false << notHttp;
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-x\r\n\r\n") << false << notHttp;
        QTest::newRow("bad chunk") << ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" << false << notHttp;
        QTest::newRow("other coding") << ok + "Transfer-Encoding: gzip\r\n\r\n[]" << false << notHttp;
        QTest::newRow("cut off") << ok + "Content-Length: 10\r\n\r\n[]" << false
                                 << "the service's reply was cut off";
        QTest::newRow("trickle") << ok + "Content-Length: 1000\r\n\r\n" << true
                                 << "the service did not answer in time";
    }

    void repliesAreBoundedAndStrict()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, drip);
        QFETCH(QString, error);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTimer dripping;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            peer->write(reply);
            if (drip) {
                QObject::connect(&dripping, &QTimer::timeout, peer, [peer] { peer->write(" "); });
                dripping.start(50);
            } else {
                peer->disconnectFromHost();
            }
        });
        ModelMaker maker;
        auto model = maker.make(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()),
            Timing {std::chrono::seconds(20), {}, {}, std::chrono::milliseconds(drip ? 400 : 20'000)});
        const auto outcome = run(model->get<QList<Region>>("/api/regions"));
        QCOMPARE(outcome.error ? outcome.error->description() : QString(), error);
        QCOMPARE(bool(outcome.value), error.isEmpty());
    }

    // However far an exchange has got when its owner goes, its waiter hears the
    // end: a waiter never told is a coroutine left hanging (and leaked).
    void ownerGoneAtAnyStepEndsTheWait()
    {
        FakeService service;
        service.setFallback({200, "[]", {}});
        for (int steps = 0; steps < 30; ++steps) {
            QObject owner;
            bool heard = false;
            const auto wait = [&]() -> QCoro::Task<> {
                const http::Request request {QUrl(service.base() + "/"), "GET", {}, {}};
                try {
                    co_await http::exchange(request, {4096, std::chrono::seconds(5), std::chrono::seconds(5)}, &owner);
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
            QVERIFY2(heard, qPrintable(QStringLiteral("owner gone after %1 steps").arg(steps)));
        }
    }

    void credentialsNeverFollowRedirectToAnotherOrigin()
    {
        FakeService first;
        FakeService second;
        second.setFallback({200, regionJson, {}});
        const QByteArray elsewhere = (second.base() + "/api/regions").toUtf8();
        const QByteArray sameOrigin = (first.base() + "/api/regions2").toUtf8();
        ModelMaker maker;
        auto model = maker.make(first.base());
        model->setToken(QStringLiteral("secret-token"));

        // With the token: a redirect to another origin is refused and nothing reaches it.
        first.enqueue({302, {}, {{"Location", elsewhere}}});
        const auto refused = run(model->get<QList<Region>>("/api/regions", true));
        QVERIFY(refused.error);
        QCOMPARE(refused.error->domain(), ApiError::networkDomain);
        QVERIFY(second.requests().isEmpty());

        // With the token: a same-origin redirect is followed and keeps the token.
        first.enqueue({302, {}, {{"Location", sameOrigin}}});
        first.enqueue({200, regionJson, {}});
        const auto kept = run(model->get<QList<Region>>("/api/regions", true));
        QVERIFY2(kept.value, kept.error ? qPrintable(kept.error->description()) : "");
        QCOMPARE(first.requests().last().target, QByteArray("/api/regions2"));
        QCOMPARE(first.requests().last().header("authorization"), QByteArray("Bearer secret-token"));

        // A password in the body does not follow a 307 elsewhere either.
        first.enqueue({307, {}, {{"Location", elsewhere}}});
        QVERIFY(run(model->post<AuthResponse>("/api/auth/login", {{"password", "hunter2"}})).error);
        QVERIFY(second.requests().isEmpty());

        // Without the token, redirects are followed as usual.
        first.enqueue({302, {}, {{"Location", elsewhere}}});
        const auto followed = run(model->get<QList<Region>>("/api/regions"));
        QVERIFY2(followed.value, followed.error ? qPrintable(followed.error->description()) : "");
        QCOMPARE(second.requests().size(), 1);
        QVERIFY(!second.requests().first().hasHeader("authorization"));
    }
};

QTEST_GUILESS_MAIN(TestRequestLayer)
#include "tst_requestlayer.moc"
