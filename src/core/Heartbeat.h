#pragma once

#include <QObject>
#include <QTimer>

#include <QCoroSignal>
#include <QCoroTask>

#include <chrono>

namespace corvanta {

// The cancellation handle of one heartbeat loop and its cancellable wait.
// cancel() ends a wait in progress at once; the loop itself decides what to do next.
class Heartbeat : public QObject
{
    Q_OBJECT

public:
    explicit Heartbeat(std::chrono::milliseconds interval)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(interval);
        QObject::connect(&m_timer, &QTimer::timeout, this, &Heartbeat::woken);
    }

    bool isCancelled() const { return m_cancelled; }

    void cancel()
    {
        m_cancelled = true;
        if (m_timer.isActive()) {
            m_timer.stop();
            emit woken();
        }
    }

    // Waits one interval, or less when cancelled meanwhile.
    QCoro::Task<> wait()
    {
        m_timer.start();
        co_await qCoro(this, &Heartbeat::woken);
    }

signals:
    void woken();

private:
    QTimer m_timer;
    bool m_cancelled = false;
};

} // namespace corvanta
