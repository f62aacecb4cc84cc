#pragma once

#include "ApiError.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace corvanta {

// Strict reading of one JSON object of a reply. Required keys must be present,
// non-null and of the right type; optional keys may be missing or null but must
// otherwise have the right type; other keys are ignored. Every failure is an
// ApiError in the decoding domain whose text names where it happened, e.g.
// `Region[2]: missing key "flag"`.
class JsonReader
{
public:
    JsonReader(const QJsonValue &value, QString where);

    const QString &where() const { return m_where; }

    QString text(const QString &key) const;
    std::optional<QString> optionalText(const QString &key) const;
    bool boolean(const QString &key) const;
    qint64 integer(const QString &key) const;
    std::optional<qint64> optionalInteger(const QString &key) const;
    // An array of texts; optional ones give an empty list when missing or null.
    QStringList texts(const QString &key) const;
    QStringList optionalTexts(const QString &key) const;

    template<class Record> Record record(const QString &key) const
    {
        return Record::fromJson(JsonReader(required(key), nested(key)));
    }

    template<class Record> std::optional<Record> optionalRecord(const QString &key) const
    {
        const QJsonValue v = m_object.value(key);
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        return Record::fromJson(JsonReader(v, nested(key)));
    }

    [[noreturn]] static void fail(const QString &detail);

private:
    QJsonValue required(const QString &key) const;
    QString nested(const QString &key) const { return m_where + QLatin1Char('.') + key; }
    [[noreturn]] void wrongType(const QString &key, const QString &expected) const;
    qint64 toInteger(const QString &key, const QJsonValue &v) const;

    QJsonObject m_object;
    QString m_where;
};

// Parses a whole reply body as one JSON value of any kind (object, array, null, ...).
QJsonValue parseJsonReply(const QByteArray &body);

// Decoding of a reply into the type a caller asks for: a record, a list of
// records (one bad element fails the whole list) or an optional record (JSON null
// gives none).
template<class T> struct ReplyDecoder
{
    static T decode(const QJsonValue &v, const QString &where) { return T::fromJson(JsonReader(v, where)); }
    static QString name() { return QString::fromLatin1(T::recordName); }
};

template<class T> struct ReplyDecoder<QList<T>>
{
    static QList<T> decode(const QJsonValue &v, const QString &where)
    {
        if (!v.isArray())
            JsonReader::fail(where + QStringLiteral(": expected a JSON array"));
        const QJsonArray array = v.toArray();
        QList<T> list;
        list.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i)
            list.append(ReplyDecoder<T>::decode(
                array.at(i), ReplyDecoder<T>::name() + QStringLiteral("[%1]").arg(i)));
        return list;
    }
    static QString name() { return ReplyDecoder<T>::name() + QStringLiteral("[]"); }
};

template<class T> struct ReplyDecoder<std::optional<T>>
{
    static std::optional<T> decode(const QJsonValue &v, const QString &where)
    {
        if (v.isNull())
            return std::nullopt;
        return ReplyDecoder<T>::decode(v, where);
    }
    static QString name() { return ReplyDecoder<T>::name(); }
};

template<class T> T decodeReply(const QByteArray &body)
{
    return ReplyDecoder<T>::decode(parseJsonReply(body), ReplyDecoder<T>::name());
}

} // namespace corvanta
