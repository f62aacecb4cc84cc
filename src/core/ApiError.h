#pragma once

#include <QString>

#include <exception>

namespace corvanta {

// The one failure type of the client. Private steps throw it; the model's public
// operations catch it and show `description` to the user.
class ApiError : public std::exception
{
public:
    // Domains, so callers and tests can tell where a failure came from.
    static inline const QString serviceDomain = QStringLiteral("corvanta");
    static inline const QString networkDomain = QStringLiteral("network");
    static inline const QString decodingDomain = QStringLiteral("decoding");

    ApiError(QString domain, int code, QString description);

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString &description() const { return m_description; }

    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    QByteArray m_what;
};

} // namespace corvanta
