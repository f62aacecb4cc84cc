#pragma once

#include <QString>

#include <optional>

namespace corvanta {

// The file name of the tunnel's program, which the connect script starts by its
// full path (in root's folder once installed).
inline constexpr const char *tunnelAgentName = "corvanta-agent";

// Reads the tunnel's process id from its file. It counts only when it is a regular
// file (not a link), owned by root or by us, and writable by nobody else; its text
// must be a signed 32-bit decimal number, blanks and line breaks around it allowed.
std::optional<int> readPidFile(const QString &path);

// Whether pid is our tunnel: a live root process running the agent. A number that
// a dead tunnel left behind, now another process's, is not.
bool isTunnelProcess(int pid);

// Whether the tunnel named by the file is running.
bool tunnelRunning(const QString &pidFile);

} // namespace corvanta
