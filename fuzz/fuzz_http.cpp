// A reply's head and chunked body: parsed within bounds, and the body decodes the
// same however the bytes are split as they arrive.
#include "HttpClient.h"

#include <cstdlib>

using namespace corvanta::http;

static std::pair<ChunkedDecoder::State, QByteArray> decode(const QByteArray &input, qsizetype piece)
{
    ChunkedDecoder decoder;
    QByteArray pending, body;
    auto state = ChunkedDecoder::State::needMore;
    for (qsizetype at = 0; at < input.size() && state == ChunkedDecoder::State::needMore; at += piece) {
        pending += input.mid(at, piece);
        state = decoder.feed(pending, body);
    }
    return {state, body};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    if (data[0] % 2 == 0) {
        const auto head = parseHead(input);
        if (head && (head->status < 100 || head->status > 999 || head->fields.size() > maxHeaderFields))
            std::abort();
        return 0;
    }
    const auto whole = decode(input, input.size() + 1);
    // Bytes split apart can only make a bad stream show later, never change the data.
    if (whole.first != ChunkedDecoder::State::bad && whole != decode(input, 1 + data[0] / 2 % 7))
        std::abort();
    return 0;
}
