#include "JsonReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariant>

#include <cmath>
#include <limits>

namespace corvanta {

JsonReader::JsonReader(const QJsonValue &value, QString where)
    : m_where(std::move(where))
{
    if (!value.isObject())
        fail(m_where + QStringLiteral(": expected a JSON object"));
    m_object = value.toObject();
}

void JsonReader::fail(const QString &detail)
{
    throw ApiError(ApiError::decodingDomain, 0, QStringLiteral("unexpected reply (%1)").arg(detail));
}

QJsonValue JsonReader::required(const QString &key) const
{
    const QJsonValue v = m_object.value(key);
    if (v.isUndefined())
        fail(QStringLiteral("%1: missing key \"%2\"").arg(m_where, key));
    if (v.isNull())
        fail(QStringLiteral("%1: key \"%2\" is null").arg(m_where, key));
    return v;
}

void JsonReader::wrongType(const QString &key, const QString &expected) const
{
    fail(QStringLiteral("%1: key \"%2\" must be %3").arg(m_where, key, expected));
}

QString JsonReader::text(const QString &key) const
{
    const QJsonValue v = required(key);
    if (!v.isString())
        wrongType(key, QStringLiteral("text"));
    return v.toString();
}

std::optional<QString> JsonReader::optionalText(const QString &key) const
{
    const QJsonValue v = m_object.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isString())
        wrongType(key, QStringLiteral("text"));
    return v.toString();
}

bool JsonReader::boolean(const QString &key) const
{
    const QJsonValue v = required(key);
    if (!v.isBool())
        wrongType(key, QStringLiteral("true or false"));
    return v.toBool();
}

qint64 JsonReader::toInteger(const QString &key, const QJsonValue &v) const
{
    if (!v.isDouble())
        wrongType(key, QStringLiteral("a number"));
    // Qt keeps whole numbers that fit in 64 bits exactly; larger ones arrive as a
    // double. Too small ones arrive saturated at -2^63 (as an integer, or as a
    // double rounded into range), so that one value cannot be trusted and is refused.
    const QString outOfRange = QStringLiteral("a whole number in the 64-bit range");
    constexpr qint64 saturated = std::numeric_limits<qint64>::min();
    const QVariant var = v.toVariant();
    if (var.typeId() == QMetaType::LongLong) {
        if (var.toLongLong() == saturated)
            wrongType(key, outOfRange);
        return var.toLongLong();
    }
    const double d = v.toDouble();
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (std::trunc(d) != d || d <= -limit || d >= limit)
        wrongType(key, outOfRange);
    return static_cast<qint64>(d);
}

qint64 JsonReader::integer(const QString &key) const
{
    return toInteger(key, required(key));
}

std::optional<qint64> JsonReader::optionalInteger(const QString &key) const
{
    const QJsonValue v = m_object.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    return toInteger(key, v);
}

QStringList JsonReader::texts(const QString &key) const
{
    const QJsonValue v = required(key);
    if (!v.isArray())
        wrongType(key, QStringLiteral("an array of texts"));
    QStringList list;
    for (const QJsonValue &element : v.toArray()) {
        if (!element.isString())
            wrongType(key, QStringLiteral("an array of texts"));
        list.append(element.toString());
    }
    return list;
}

QStringList JsonReader::optionalTexts(const QString &key) const
{
    const QJsonValue v = m_object.value(key);
    return v.isUndefined() || v.isNull() ? QStringList() : texts(key);
}

QJsonValue parseJsonReply(const QByteArray &body)
{
    if (body.trimmed().isEmpty())
        JsonReader::fail(QStringLiteral("empty body"));
    // QJsonDocument only takes an object or an array at the top; wrapping the body
    // lets a bare value such as `null` through, and the size check keeps "1],[2" out.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson('[' + body + ']', &error);
    if (error.error != QJsonParseError::NoError || doc.array().size() != 1)
        JsonReader::fail(QStringLiteral("not valid JSON"));
    return doc.array().at(0);
}

} // namespace corvanta
