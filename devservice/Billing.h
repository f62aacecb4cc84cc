#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace corvanta::devservice {

// Balances, subscriptions and the invoices that checkout pages pay.
class Billing
{
public:
    static constexpr qint64 pricePerHourCents = 3;
    static constexpr qint64 subMonthlyCents = 999;
    static constexpr qint64 startingBalanceCents = 500;

    struct Invoice
    {
        QString id;
        QString owner;
        qint64 amountCents = 0;
        bool subscription = false;
        bool paid = false;
    };

    QJsonObject account(const QString &owner);
    const Invoice &newInvoice(const QString &owner, qint64 amountCents, bool subscription);
    Invoice *invoice(const QString &id);
    // Credits the balance or starts the subscription; false when already paid.
    bool pay(const QString &invoiceId);

private:
    struct State
    {
        qint64 balanceCents = startingBalanceCents;
        std::optional<QDateTime> subscribedUntil;
    };

    QHash<QString, State> m_accounts;
    QHash<QString, Invoice> m_invoices;
};

} // namespace corvanta::devservice
