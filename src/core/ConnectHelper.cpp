#include "ConnectHelper.h"

#include "AdminPrompt.h"
#include "ApiError.h"
#include "Log.h"
#include "NextSignal.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

namespace corvanta {

namespace {

struct ChildResult
{
    int exitStatus = 0;
    QString errorText; // standard error, decoded and trimmed
};

// Runs a child to its end without blocking. Standard output is discarded;
// standard error is kept in full (QProcess drains the pipe as it fills).
// `what` names the run in the log, where its arguments never go: a join code is among them.
QCoro::Task<ChildResult> runChild(QString program, QStringList arguments, QString what)
{
    QElapsedTimer clock;
    clock.start();
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProgram(program);
    process.setArguments(arguments);
    process.start(QIODevice::ReadOnly);
    // Wait for "started" or "failed to start", whichever comes.
    while (process.state() == QProcess::Starting)
        co_await nextSignal(&process, &QProcess::stateChanged);
    if (process.error() == QProcess::FailedToStart)
        throw ApiError(QStringLiteral("process"), process.error(),
            QStringLiteral("could not start %1: %2").arg(program, process.errorString()));
    if (process.state() != QProcess::NotRunning)
        co_await nextSignal(&process, &QProcess::finished);

    ChildResult result;
    // A child killed by a signal has no exit status of its own; it must never pass as success.
    result.exitStatus = process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    qCDebug(lcConnection).noquote() << what << "ended with" << result.exitStatus << "after" << clock.elapsed()
                                    << "ms";
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(process.readAllStandardError());
    if (!utf8.hasError())
        result.errorText = text.trimmed();
    co_return result;
}

ApiError childError(const ChildResult &result, const QString &fallback)
{
    return ApiError(
        ApiError::serviceDomain, result.exitStatus, result.errorText.isEmpty() ? fallback : result.errorText);
}

} // namespace

QCoro::Task<> ensureHelperInstalled(Paths paths)
{
    // Only existence counts: a present script is never re-installed from here.
    if (QFileInfo::exists(paths.helper) || QFileInfo(paths.helper).isSymLink())
        co_return;
    const Command prompt = adminPromptCommand(paths.installer, PromptPlatform::Linux, paths.promptTool);
    ChildResult result = co_await runChild(prompt.program, prompt.arguments, QStringLiteral("the installer"));
    if (result.exitStatus == 0)
        co_return;
    // pkexec explains a dismissed prompt on standard error; to the user it is a cancel.
    if (result.exitStatus == promptDismissedStatus)
        result.errorText.clear();
    throw childError(result, QStringLiteral("setup cancelled"));
}

QCoro::Task<> runHelper(Paths paths, QStringList args)
{
    // (Built before the co_await: g++ 12 rejects braced lists inside one.)
    QStringList arguments = args;
    arguments.prepend(paths.helper);
    arguments.prepend(QStringLiteral("-n"));
    ChildResult result = co_await runChild(
        paths.sudo, arguments, QStringLiteral("the connect script (%1)").arg(args.value(0)));
    if (result.exitStatus == 0)
        co_return;
    if (result.errorText.contains(QLatin1String("password is required"))
        || result.errorText.toLower().contains(QLatin1String("sudo")))
        result.errorText = setupHint(paths.installer);
    throw childError(result, QStringLiteral("failed"));
}

} // namespace corvanta
