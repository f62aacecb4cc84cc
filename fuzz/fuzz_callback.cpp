// The browser's "corvanta:" address comes from outside: its code is read or refused.
#include "GoogleAuthFlow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        corvanta::GoogleAuthFlow::codeFrom(
            QUrl(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size))));
    } catch (const corvanta::ApiError &) { }
    return 0;
}
