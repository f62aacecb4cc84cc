// A service reply, decoded as each record the client and the agent read: a bad one is a
// decoding error, never a crash.
#include "WireRecords.h"

using namespace corvanta;

template<class... Records> void decodeAll(const QByteArray &reply)
{
    const auto decode = [&](auto record) {
        try {
            decodeReply<decltype(record)>(reply);
        } catch (const ApiError &) { }
    };
    (decode(Records()), ...);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    decodeAll<QList<Region>, EnsureResponse, StatusResponse, std::optional<BillingAccount>, AuthResponse,
        ExchangeResponse, SSOLookup, CheckoutResp, MeshJoin>(
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
