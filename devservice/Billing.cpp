#include "Billing.h"

#include "Accounts.h"

namespace corvanta::devservice {

QJsonObject Billing::account(const QString &owner)
{
    const State &state = m_accounts[owner];
    const bool active = state.subscribedUntil && *state.subscribedUntil > QDateTime::currentDateTimeUtc();
    QJsonObject reply {
        {QStringLiteral("balanceCents"), state.balanceCents},
        {QStringLiteral("subscriptionActive"), active},
        {QStringLiteral("pricePerHourCents"), pricePerHourCents},
        {QStringLiteral("subMonthlyCents"), subMonthlyCents},
    };
    reply.insert(QStringLiteral("subscriptionExpiresAt"),
        state.subscribedUntil ? QJsonValue(state.subscribedUntil->toString(Qt::ISODate)) : QJsonValue());
    return reply;
}

const Billing::Invoice &Billing::newInvoice(const QString &owner, qint64 amountCents, bool subscription)
{
    Invoice invoice {QStringLiteral("inv_") + randomToken(16), owner, amountCents, subscription, false};
    return *m_invoices.insert(invoice.id, invoice);
}

Billing::Invoice *Billing::invoice(const QString &id)
{
    const auto it = m_invoices.find(id);
    return it == m_invoices.end() ? nullptr : &*it;
}

bool Billing::pay(const QString &invoiceId)
{
    Invoice *paid = invoice(invoiceId);
    if (!paid || paid->paid)
        return false;
    paid->paid = true;
    State &state = m_accounts[paid->owner];
    if (paid->subscription) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QDateTime from
            = state.subscribedUntil && *state.subscribedUntil > now ? *state.subscribedUntil : now;
        state.subscribedUntil = from.addMonths(1);
    } else {
        state.balanceCents += paid->amountCents;
    }
    return true;
}

} // namespace corvanta::devservice
