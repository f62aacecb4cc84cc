// An error reply's body becomes the text the user reads: always one, never too long.
#include "AppModel.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        corvanta::AppModel::check(
            400 + int(size % 200), QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const corvanta::ApiError &error) {
        if (error.description().size() > corvanta::AppModel::maxErrorText + 1)
            std::abort();
    }
    return 0;
}
