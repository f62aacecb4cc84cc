#include "RegionCatalog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvanta::devservice::RegionCatalog {

namespace {
QJsonObject region(
    const char *id, const char *country, const char *city, const char *flag, const char *status)
{
    return {
        {QStringLiteral("id"), QString::fromUtf8(id)},
        {QStringLiteral("country"), QString::fromUtf8(country)},
        {QStringLiteral("city"), QString::fromUtf8(city)},
        {QStringLiteral("flag"), QString::fromUtf8(flag)},
        {QStringLiteral("status"), QString::fromUtf8(status)},
    };
}
} // namespace

QJsonArray builtIn()
{
    return {
        region("us-east", "United States", "New York", "🇺🇸", "online"),
        region("us-west", "United States", "San Francisco", "🇺🇸", "online"),
        region("ca-central", "Canada", "Toronto", "🇨🇦", "online"),
        region("gb-london", "United Kingdom", "London", "🇬🇧", "online"),
        region("de-frankfurt", "Germany", "Frankfurt", "🇩🇪", "online"),
        region("nl-amsterdam", "Netherlands", "Amsterdam", "🇳🇱", "online"),
        region("se-stockholm", "Sweden", "Stockholm", "🇸🇪", "online"),
        region("ch-zurich", "Switzerland", "Zürich", "🇨🇭", "online"),
        region("jp-tokyo", "Japan", "Tokyo", "🇯🇵", "online"),
        region("sg-singapore", "Singapore", "Singapore", "🇸🇬", "online"),
        region("au-sydney", "Australia", "Sydney", "🇦🇺", "soon"),
        region("br-saopaulo", "Brazil", "São Paulo", "🇧🇷", "soon"),
        region("in-mumbai", "India", "Mumbai", "🇮🇳", "soon"),
    };
}

bool fromFile(const QString &path, QJsonArray &regions, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("%1 is not valid JSON: %2").arg(path, parseError.errorString());
        return false;
    }
    if (!doc.isArray()) {
        error = QStringLiteral("%1 must hold a JSON array of regions").arg(path);
        return false;
    }
    regions = doc.array();
    return true;
}

} // namespace corvanta::devservice::RegionCatalog
