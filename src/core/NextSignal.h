#pragma once

#include <QObject>

#include <QCoroSignal>
#include <QCoroTask>

namespace corvanta {

// Passes any signal on as a plain one that QCoro can await: QCoro cannot bind the
// hidden argument of Qt's private signals (QProcess::finished and the like).
class SignalRelay : public QObject
{
    Q_OBJECT

signals:
    void fired();
};

// Awaits the next emission of `signal` from `sender`.
template<class Sender, class Signal> QCoro::Task<> nextSignal(Sender *sender, Signal signal)
{
    SignalRelay relay;
    QObject::connect(sender, signal, &relay, &SignalRelay::fired);
    co_await qCoro(&relay, &SignalRelay::fired);
}

} // namespace corvanta
