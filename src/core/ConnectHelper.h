#pragma once

// Runs the root-owned connect script and, once, its installer. Children run
// asynchronously: the caller awaits them and the event loop keeps turning.

#include "Paths.h"

#include <QCoroTask>
#include <QStringList>

namespace corvanta {

// Makes sure the connect script exists. When nothing is at `paths.helper`, runs
// the installer behind the administrator prompt. Throws ApiError("corvanta",
// exit status, standard error trimmed, or "setup cancelled").
QCoro::Task<> ensureHelperInstalled(Paths paths);

// Runs `sudo -n <helper> args...`. Throws ApiError("corvanta", exit status, the
// standard error trimmed; the setup hint when sudo wants a password; or "failed").
QCoro::Task<> runHelper(Paths paths, QStringList args);

// The hint shown when sudo may not run the connect script without a password: it
// names the installer this client would run, by its absolute path.
inline QString setupHint(const QString &installer)
{
    return QStringLiteral("one-time setup needed — run: sudo ") + installer;
}

} // namespace corvanta
