// An error reply's body becomes the text the user reads: always one, never too long.
#include "AppModel.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace corvanta;
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    try {
        AppModel::check(400 + static_cast<int>(size % 200), body);
    } catch (const ApiError &error) {
        if (error.description().size() > AppModel::maxErrorText + 1)
            std::abort();
    }
    return 0;
}
