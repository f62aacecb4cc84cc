#pragma once

#include <QLoggingCategory>
#include <QStringList>

// The client's log, one category per area. Quiet by default (warnings only);
// QT_LOGGING_RULES="corvanta.*.debug=true" prints the rest. Whatever is printed
// or not, the last lines are kept in memory for the diagnostics report.
Q_DECLARE_LOGGING_CATEGORY(lcRequests)
Q_DECLARE_LOGGING_CATEGORY(lcConnection)
Q_DECLARE_LOGGING_CATEGORY(lcSignIn)
Q_DECLARE_LOGGING_CATEGORY(lcSocket)
Q_DECLARE_LOGGING_CATEGORY(lcTray)

namespace corvanta::log {

// How many of the last lines are kept.
inline constexpr int keptLines = 500;

// Installs the message handler that keeps the last lines and passes every message
// on to the handler before it; debug lines of our own categories are kept even
// when the logging rules do not print them. Once per process.
void install();

// The kept lines, oldest first, as "HH:mm:ss.zzz category level: text".
QStringList recentLines();

} // namespace corvanta::log
