#pragma once

#include <QByteArray>
#include <QString>

namespace corvanta::bench {

// A reply of `count` regions as the service sends it; every seventh one is "soon".
inline QByteArray regionsReply(int count)
{
    QByteArray json = "[";
    for (int i = 0; i < count; ++i) {
        if (i)
            json += ',';
        json += QStringLiteral(R"({"id":"r%1","country":"Country %1","city":"City %1","flag":"🇩🇪","status":"%2"})")
                    .arg(i)
                    .arg(i % 7 ? QStringLiteral("online") : QStringLiteral("soon"))
                    .toUtf8();
    }
    return json + "]";
}

} // namespace corvanta::bench
