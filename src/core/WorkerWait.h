#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QObject>

#include <coroutine>
#include <utility>

namespace corvanta {

// A coroutine's wait for work on a worker thread, owned by the
// object the coroutine works for. When the owner goes first, its destructor calls
// finishNow(): the work is waited for there and the coroutine goes on at once,
// while its owner is still whole, instead of resuming later on an object that is
// gone.
class WorkerWait : public QObject
{
    Q_OBJECT

public:
    WorkerWait(QFuture<void> work, QObject *owner)
        : QObject(owner)
        , m_work(work)
    {
        QObject::connect(&m_watcher, &QFutureWatcher<void>::finished, this, &WorkerWait::resume);
        m_watcher.setFuture(work);
    }

    void finishNow()
    {
        m_work.waitForFinished();
        resume();
    }

    // co_await wait->finished();
    struct Finished
    {
        WorkerWait *wait;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiting) const noexcept { wait->m_waiting = waiting; }
        void await_resume() const noexcept { }
    };
    Finished finished() { return Finished {this}; }

private:
    void resume()
    {
        QObject::disconnect(&m_watcher, nullptr, this, nullptr);
        if (auto waiting = std::exchange(m_waiting, {}))
            waiting.resume();
    }

    QFuture<void> m_work;
    QFutureWatcher<void> m_watcher;
    std::coroutine_handle<> m_waiting;
};

} // namespace corvanta
