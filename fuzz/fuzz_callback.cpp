// The browser's "corvanta:" address comes from outside: its code is read or refused.
#include "GoogleAuthFlow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace corvanta;
    const QUrl callback(QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    try {
        GoogleAuthFlow::codeFrom(callback);
    } catch (const ApiError &) {
    }
    return 0;
}
