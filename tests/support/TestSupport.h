#pragma once

#include "AppModel.h"

#include <QCoroTask>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <optional>

#include <unistd.h>

namespace corvanta::test {

// The result of running a task to its end: its value, or the ApiError it threw.
template<class T> struct Outcome
{
    std::optional<T> value;
    std::optional<ApiError> error;
};

namespace detail {
template<class T> QCoro::Task<Outcome<T>> capture(QCoro::Task<T> task)
{
    Outcome<T> outcome;
    try {
        outcome.value = co_await std::move(task);
    } catch (const ApiError &e) {
        outcome.error = e;
    }
    co_return outcome;
}
} // namespace detail

// Runs the task in a nested event loop until it ends.
template<class T> Outcome<T> run(QCoro::Task<T> task)
{
    return QCoro::waitFor(detail::capture(std::move(task)));
}
// Runs a task without a value; returns the error it threw, if any.
inline std::optional<ApiError> errorOf(QCoro::Task<> task)
{
    const auto done = [](QCoro::Task<> task) -> QCoro::Task<bool> {
        co_await std::move(task);
        co_return true;
    };
    return run(done(std::move(task))).error;
}

// A process that looks like our tunnel to the client: root's, under the agent's name.
class FakeTunnel
{
public:
    FakeTunnel()
    {
        if (::geteuid() != 0)
            qFatal("this test needs root: the client counts only root's tunnel process");
        QFile::link(QStringLiteral("/bin/sleep"), m_dir.filePath(QStringLiteral("corvanta-agent")));
        m_process.start(m_dir.filePath(QStringLiteral("corvanta-agent")), {QStringLiteral("60")});
        m_process.waitForStarted();
    }
    ~FakeTunnel() { end(); }
    void end()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QByteArray pid() const { return QByteArray::number(m_process.processId()); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// Models against CORVANTA_API (none: unset), settings in a private folder, no keyring unless given.
class ModelMaker
{
public:
    decltype(AppModel::Setup::keyring) keyring;

    std::unique_ptr<AppModel> make(
        const std::optional<QString> &api, Timing timing = {}, Paths paths = {}, UrlOpener openUrl = {})
    {
        if (api)
            qputenv("CORVANTA_API", api->toUtf8());
        else
            qunsetenv("CORVANTA_API");
        return std::make_unique<AppModel>(AppModel::Setup {settingsFile(), keyring, timing, paths, openUrl});
    }
    QString settingsFile() const { return m_dir.filePath(QStringLiteral("config/corvanta/corvanta.conf")); }

private:
    QTemporaryDir m_dir;
};

} // namespace corvanta::test
