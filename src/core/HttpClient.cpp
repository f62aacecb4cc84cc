#include "HttpClient.h"

#include "ApiError.h"

#include <QSslSocket>
#include <QTimer>

#include <algorithm>
#include <coroutine>
#include <memory>

namespace corvanta::http {

namespace {

constexpr qsizetype maxLineBytes = 1024; // a chunk-size or trailer line, without its CR

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field values and reasons: visible bytes, spaces and tabs; no other control bytes.
bool isFieldText(QByteArrayView text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

bool isDigits(QByteArrayView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Takes one line (up to LF, without the CR LF) from `input` at `pos`.
std::optional<QByteArrayView> takeLine(QByteArrayView input, qsizetype &pos)
{
    const qsizetype end = input.indexOf('\n', pos);
    if (end < 0)
        return std::nullopt;
    QByteArrayView line = input.sliced(pos, end - pos);
    pos = end + 1;
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

QByteArray Head::field(QByteArrayView name) const
{
    for (const auto &[fieldName, value] : fields) {
        if (fieldName == name)
            return value;
    }
    return {};
}

std::optional<Head> parseHead(QByteArrayView block)
{
    if (block.size() > maxHeadBytes)
        return std::nullopt;
    QByteArray input = block.toByteArray() + '\n';
    qsizetype pos = 0;

    // HTTP/1.x SP 3DIGIT [SP reason]
    const QByteArrayView statusLine = *takeLine(input, pos);
    if (!(statusLine.startsWith("HTTP/1.1 ") || statusLine.startsWith("HTTP/1.0 ")) || statusLine.size() < 12
        || !isDigits(statusLine.sliced(9, 3)) || (statusLine.size() > 12 && statusLine[12] != ' ')
        || !isFieldText(statusLine))
        return std::nullopt;
    Head head;
    head.status = statusLine.sliced(9, 3).toInt();
    if (head.status < 100)
        return std::nullopt;

    while (pos < input.size()) {
        const QByteArrayView line = *takeLine(input, pos);
        const qsizetype colon = line.indexOf(':');
        // No folded lines, no blank lines, no space before the colon.
        if (colon < 0 || !isToken(line.first(colon)) || !isFieldText(line)
            || head.fields.size() == maxHeaderFields)
            return std::nullopt;
        head.fields.emplaceBack(
            line.first(colon).toByteArray().toLower(), line.sliced(colon + 1).toByteArray().trimmed());
    }
    return head;
}

ChunkedDecoder::State ChunkedDecoder::feed(QByteArray &input, QByteArray &body)
{
    qsizetype pos = 0;
    const auto finish = [&](State state) {
        input.remove(0, pos);
        return state;
    };
    for (;;) {
        switch (m_step) {
        case Step::size: {
            const auto line = takeLine(input, pos);
            if (!line)
                return finish(input.size() - pos > maxLineBytes + 1 ? State::bad : State::needMore);
            if (line->size() > maxLineBytes)
                return finish(State::bad);
            QByteArray size = line->toByteArray();
            if (const qsizetype extension = size.indexOf(';'); extension >= 0)
                size.truncate(extension);
            size = size.trimmed();
            const bool hex = std::all_of(size.begin(), size.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            });
            bool ok = false;
            m_left = hex && size.size() <= 12 ? size.toLongLong(&ok, 16) : 0;
            if (!ok)
                return finish(State::bad);
            m_step = m_left == 0 ? Step::trailer : Step::data;
            break;
        }
        case Step::data: {
            const qint64 take = std::min<qint64>(m_left, input.size() - pos);
            body.append(QByteArrayView(input).sliced(pos, take));
            pos += take;
            m_left -= take;
            if (m_left > 0)
                return finish(State::needMore);
            m_step = Step::dataEnd;
            break;
        }
        case Step::dataEnd: {
            const auto line = takeLine(input, pos);
            if (!line)
                return finish(input.size() - pos > 1 ? State::bad : State::needMore);
            if (!line->isEmpty())
                return finish(State::bad);
            m_step = Step::size;
            break;
        }
        case Step::trailer: {
            const auto line = takeLine(input, pos);
            if (!line)
                return finish(input.size() - pos > maxLineBytes + 1 ? State::bad : State::needMore);
            m_trailerBytes += line->size();
            if (line->isEmpty())
                return finish(State::done);
            if (line->size() > maxLineBytes || m_trailerBytes > maxHeadBytes)
                return finish(State::bad);
            break;
        }
        }
    }
}

namespace {

QString tooLargeText()
{
    return QStringLiteral("the service's reply was too large");
}

QString notHttpText()
{
    return QStringLiteral("the service's reply was not valid HTTP");
}

// One request on one connection, driven by the socket's signals.
class Exchange : public QObject
{
public:
    Exchange(Request request, Limits limits, QObject *owner)
        : QObject(owner)
        , m_request(std::move(request))
        , m_limits(limits)
    {
        connect(&m_socket, &QSslSocket::readyRead, this, &Exchange::read);
        connect(&m_socket, &QSslSocket::disconnected, this, &Exchange::closed);
        connect(&m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::RemoteHostClosedError)
                closed();
            else
                fail(m_socket.errorString());
        });
        connect(&m_socket, &QSslSocket::bytesWritten, this, &Exchange::heard);
        const bool tls = m_request.url.scheme() == QLatin1String("https");
        connect(&m_socket, tls ? &QSslSocket::encrypted : &QSslSocket::connected, this, &Exchange::send);

        m_silence.setSingleShot(true);
        connect(&m_silence, &QTimer::timeout, this, &Exchange::timedOut);
        QTimer::singleShot(m_limits.deadline, this, &Exchange::timedOut);
        heard();
        const QString host = m_request.url.host();
        if (tls)
            m_socket.connectToHostEncrypted(host, static_cast<quint16>(m_request.url.port(443)));
        else
            m_socket.connectToHost(host, static_cast<quint16>(m_request.url.port(80)));
    }

    // Awaited once: resumes its waiter when the exchange ends. Resuming directly
    // (not through a queued signal) means an exchange deleted right after it ended
    // still wakes its waiter.
    struct Ended
    {
        Exchange *exchange;
        bool await_ready() const noexcept { return exchange->m_told; }
        void await_suspend(std::coroutine_handle<> waiter) noexcept { exchange->m_waiter = waiter; }
        void await_resume() const noexcept { }
    };
    Ended ended() { return Ended {this}; }

    std::optional<Response> response;
    std::optional<ApiError> failure;
    bool isOver() const { return response || failure; }

    // Ends the exchange now. One that already ended tells its waiter now too:
    // the queued word goes with the exchange when the owner deletes it.
    void abandon()
    {
        if (!isOver()) {
            failure = ApiError(ApiError::networkDomain, 0, QStringLiteral("the request was called off"));
            m_silence.stop();
            m_socket.abort();
        }
        tell();
    }

private:
    enum class Framing
    {
        length,
        chunked,
        untilClose
    };

    void heard() { m_silence.start(m_limits.silence); }

    void send()
    {
        heard();
        QByteArray target = m_request.url.path(QUrl::FullyEncoded).toUtf8();
        if (target.isEmpty())
            target = "/";
        if (m_request.url.hasQuery())
            target += '?' + m_request.url.query(QUrl::FullyEncoded).toUtf8();
        QByteArray out = m_request.method + ' ' + target + " HTTP/1.1\r\nHost: "
            + m_request.url.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toUtf8()
            + "\r\nConnection: close\r\n";
        if (!m_request.body.isEmpty() || m_request.method == "POST")
            m_request.fields.emplaceBack("Content-Length", QByteArray::number(m_request.body.size()));
        for (const auto &[name, value] : std::as_const(m_request.fields)) {
            if (!isToken(name) || !isFieldText(value))
                return fail(QStringLiteral("the request had an invalid header; it was not sent"));
            out += name + ": " + value + "\r\n";
        }
        m_socket.write(out + "\r\n" + m_request.body);
    }

    void read()
    {
        heard();
        m_input += m_socket.readAll();
        while (!m_head && !isOver()) {
            // The head ends at the first empty line.
            qsizetype end = m_input.indexOf("\n\r\n");
            const qsizetype bare = m_input.indexOf("\n\n");
            const qsizetype skip = (bare >= 0 && (end < 0 || bare < end)) ? (end = bare, 2) : 3;
            if (end < 0 ? m_input.size() > maxHeadBytes : end > maxHeadBytes)
                return fail(QStringLiteral("the service's reply headers were too large"));
            if (end < 0)
                return;
            const std::optional<Head> head = parseHead(QByteArrayView(m_input).first(end));
            if (!head)
                return fail(notHttpText());
            m_input.remove(0, end + skip);
            // Interim replies (100 Continue and the like) come before the real one.
            if (head->status >= 200 || head->status == 101)
                startBody(*head);
        }
        if (m_head && !isOver())
            takeBody();
    }

    void startBody(const Head &head)
    {
        m_head = head;
        const QByteArray coding = head.field("transfer-encoding").toLower();
        const QByteArray length = head.field("content-length");
        if (head.status == 204 || head.status == 304 || head.status == 101) {
            m_framing = Framing::length;
            m_length = 0;
        } else if (!coding.isEmpty()) {
            if (coding != "chunked")
                return fail(notHttpText());
            m_framing = Framing::chunked;
        } else if (!length.isEmpty()) {
            if (!isDigits(length) || length.size() > 15)
                return fail(notHttpText());
            m_framing = Framing::length;
            m_length = length.toLongLong();
            if (m_length > m_limits.maxBodyBytes)
                return fail(tooLargeText());
        } else {
            m_framing = Framing::untilClose;
        }
    }

    void takeBody()
    {
        if (m_framing == Framing::chunked) {
            const ChunkedDecoder::State state = m_chunks.feed(m_input, m_body);
            if (m_body.size() > m_limits.maxBodyBytes)
                return fail(tooLargeText());
            if (state == ChunkedDecoder::State::bad)
                return fail(notHttpText());
            if (state == ChunkedDecoder::State::done)
                finish();
            return;
        }
        m_body += m_input;
        m_input.clear();
        if (m_body.size() > m_limits.maxBodyBytes)
            return fail(tooLargeText());
        if (m_framing == Framing::length && m_body.size() >= m_length) {
            m_body.truncate(m_length);
            finish();
        }
    }

    void closed()
    {
        if (isOver())
            return;
        if (m_socket.bytesAvailable() > 0)
            read();
        if (m_head && m_framing == Framing::untilClose && !isOver())
            return finish();
        fail(m_head ? QStringLiteral("the service's reply was cut off")
                    : QStringLiteral("the service closed the connection without answering"));
    }

    void timedOut() { fail(QStringLiteral("the service did not answer in time")); }

    void finish()
    {
        response = Response {*m_head, m_body};
        end();
    }

    void fail(const QString &text)
    {
        if (isOver())
            return;
        failure = ApiError(ApiError::networkDomain, 0, text);
        end();
    }

    void end()
    {
        m_silence.stop();
        disconnect(&m_socket, nullptr, this, nullptr);
        m_socket.abort();
        // Queued: the awaiting coroutine may delete this exchange when it resumes.
        QMetaObject::invokeMethod(this, &Exchange::tell, Qt::QueuedConnection);
    }

    void tell()
    {
        if (m_told)
            return;
        m_told = true;
        if (m_waiter)
            std::exchange(m_waiter, {}).resume();
    }

    Request m_request;
    Limits m_limits;
    QSslSocket m_socket;
    QTimer m_silence;
    QByteArray m_input;
    std::optional<Head> m_head;
    Framing m_framing = Framing::untilClose;
    qint64 m_length = 0;
    ChunkedDecoder m_chunks;
    QByteArray m_body;
    bool m_told = false;
    std::coroutine_handle<> m_waiter;
};

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

} // namespace

QCoro::Task<Response> exchange(Request request, Limits limits, QObject *owner)
{
    std::unique_ptr<Exchange, DeleteLater> pending(new Exchange(std::move(request), limits, owner));
    co_await pending->ended();
    if (pending->failure)
        throw *pending->failure;
    co_return *pending->response;
}

void abandonAll(QObject *owner)
{
    // Only exchanges are children of an owner; each may start another as it ends.
    while (!owner->children().isEmpty()) {
        auto *pending = static_cast<Exchange *>(owner->children().first());
        pending->abandon();
        delete pending;
    }
}

} // namespace corvanta::http
