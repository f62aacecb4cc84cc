// The billing account, amounts, and the checkout pages.

#include "AppModel.h"

namespace corvanta {

QCoro::Task<> AppModel::loadAccount()
{
    if (!isAuthed())
        co_return;
    try {
        setAccount(co_await get<std::optional<BillingAccount>>(QStringLiteral("/api/billing/account"), true));
        m_accountStale = false;
    } catch (const ApiError &) {
        // An account that cannot be read is not shown; the user sees no error for it.
        setAccount(std::nullopt);
    }
}

void AppModel::loadAccountIfStale()
{
    if (isAuthed() && (m_accountStale || !m_account))
        loadAccount();
}

QString AppModel::dollars(qint64 cents)
{
    return QString::asprintf("$%.2f", static_cast<double>(cents) / 100.0);
}

QCoro::Task<> AppModel::topUp(qint64 cents)
{
    const IntegerMap body {
        {QStringLiteral("amountCents"), cents}}; // (a braced list inside co_await trips g++ 12)
    co_await openCheckout(QStringLiteral("/api/billing/topup"), body);
}

QCoro::Task<> AppModel::subscribe()
{
    co_await openCheckout(QStringLiteral("/api/billing/subscribe"), IntegerMap {});
}

QCoro::Task<> AppModel::openCheckout(QString path, IntegerMap body)
{
    setErrorMsg(std::nullopt);
    try {
        const auto reply = co_await postJSON<CheckoutResp>(path, body, true);
        // A reply's address is opened only as a web page: never a file or another application.
        const QUrl page(reply.checkoutUrl, QUrl::StrictMode);
        const bool web = page.scheme() == QLatin1String("https") || page.scheme() == QLatin1String("http");
        if (page.isValid() && web && !page.host().isEmpty() && m_openUrl) {
            m_openUrl(page);
            m_accountStale = true; // paid or not, the balance is read again next time
        }
    } catch (const ApiError &error) {
        setErrorMsg(error.description(), QStringLiteral("billing"));
    }
}

} // namespace corvanta
