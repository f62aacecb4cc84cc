#include "ApiError.h"

namespace corvanta {

ApiError::ApiError(QString domain, int code, QString description)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_description(std::move(description))
    , m_what(m_description.toUtf8())
{ }

} // namespace corvanta
