#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QQueue>

#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace corvanta::test {

// One request as the fake service saw it.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // path and query, exactly as sent
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    qint64 receivedMs = 0; // since the fake service started

    bool hasHeader(const QByteArray &name) const { return headers.contains(name.toLower()); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

struct FakeReply
{
    int status = 200;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// A scripted HTTP/1.1 service on 127.0.0.1 that records every request. A handler, when set,
// answers first; requests it passes on get the enqueue()d replies in order, then the fallback.
class FakeService : public QObject
{
    Q_OBJECT

public:
    explicit FakeService(QObject *parent = nullptr);
    QString base() const; // "http://127.0.0.1:<port>"

    void enqueue(const FakeReply &reply) { m_queue.enqueue(reply); }
    void enqueue(int status, const QByteArray &body) { enqueue(FakeReply {status, body, {}}); }
    void setFallback(const FakeReply &reply) { m_fallback = reply; }
    using Handler = std::function<std::optional<FakeReply>(const RecordedRequest &)>;
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    const QList<RecordedRequest> &requests() const { return m_requests; }
    QList<RecordedRequest> requestsTo(const QByteArray &part) const; // whose target contains `part`

private:
    void onReadable(QTcpSocket *socket, QByteArray &buffer);
    void answer(QTcpSocket *socket, const RecordedRequest &request);

    QTcpServer *m_server;
    QQueue<FakeReply> m_queue;
    Handler m_handler;
    QElapsedTimer m_clock;
    FakeReply m_fallback {404, R"({"message":"no reply scripted"})", {}};
    QList<RecordedRequest> m_requests;
};

} // namespace corvanta::test
