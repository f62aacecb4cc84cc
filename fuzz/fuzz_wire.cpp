// A service reply, decoded as each record the client and the agent read: a bad one is a
// decoding error, never a crash.
#include "WireRecords.h"

using namespace corvanta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto decode = [&](auto record) {
        try {
            decodeReply<decltype(record)>(reply);
        } catch (const ApiError &) { }
    };
    decode(QList<Region>()), decode(EnsureResponse()), decode(StatusResponse()),
        decode(std::optional<BillingAccount>()), decode(AuthResponse()), decode(ExchangeResponse()),
        decode(SSOLookup()), decode(CheckoutResp()), decode(MeshJoin());
    return 0;
}
