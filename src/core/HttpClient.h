#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

namespace corvanta {

// HTTP/1.1 for the service's API, one request per connection. It is ours rather
// than Qt's because Qt 6.4 reads a reply's headers without any limit (a service
// sending megabytes of header kept every request waiting); here every part of a
// reply is bounded in size, and the whole exchange in time.
namespace http {

inline constexpr qsizetype maxHeadBytes = 64 * 1024;
inline constexpr qsizetype maxHeaderFields = 100;

using Fields = QList<QPair<QByteArray, QByteArray>>; // names in lower case

struct Head
{
    int status = 0;
    Fields fields;
    // The first value of a field; empty when there is none.
    QByteArray field(QByteArrayView name) const;
};

// Parses a status line and its header fields (without the blank line that ends
// them). Anything unusual is refused rather than guessed at.
std::optional<Head> parseHead(QByteArrayView block);

// Decodes a chunked body as it arrives.
class ChunkedDecoder
{
public:
    enum class State
    {
        needMore,
        done,
        bad
    };
    // Takes what it can from `input` and appends the data to `body`.
    State feed(QByteArray &input, QByteArray &body);

private:
    enum class Step
    {
        size,
        data,
        dataEnd,
        trailer
    };
    Step m_step = Step::size;
    qint64 m_left = 0;
    qsizetype m_trailerBytes = 0;
};

struct Request
{
    QUrl url;
    QByteArray method;
    Fields fields;
    QByteArray body;
};

struct Response
{
    Head head;
    QByteArray body;
};

struct Limits
{
    qint64 maxBodyBytes;
    std::chrono::milliseconds silence; // the longest pause between two reads
    std::chrono::milliseconds deadline; // the longest the whole exchange may take
};

// Sends one request and reads its reply. A failure below HTTP throws an ApiError
// in the network domain with a text for people; any status is a Response. The
// exchange lives as a child of `owner` until it ends.
QCoro::Task<Response> exchange(Request request, Limits limits, QObject *owner);

// Ends every exchange of `owner` at once, as failed: their awaiters resume before
// this returns. For an owner about to go away.
void abandonAll(QObject *owner);

} // namespace http
} // namespace corvanta
