#include "Theme.h"

namespace corvanta {

QColor colorFromHex(quint32 hex, double alpha)
{
    return QColor::fromRgbF(static_cast<float>(((hex >> 16) & 0xFF) / 255.0),
        static_cast<float>(((hex >> 8) & 0xFF) / 255.0), static_cast<float>((hex & 0xFF) / 255.0),
        static_cast<float>(alpha));
}

} // namespace corvanta
