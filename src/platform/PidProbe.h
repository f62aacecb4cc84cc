#pragma once

#include <QString>

#include <optional>

namespace corvanta {

// The names the connect script starts the tunnel under: the agent, or the
// placeholder that holds its place where no agent is installed.
inline constexpr const char *tunnelAgentPath = "/usr/local/libexec/corvanta/corvanta-agent";
inline constexpr const char *tunnelPlaceholderName = "corvanta-placeholder-tunnel";

// Reads the tunnel's process id from its file. It counts only when it is a regular
// file (not a link), owned by root or by us, and writable by nobody else; its text
// must be a signed 32-bit decimal number, blanks and line breaks around it allowed.
std::optional<int> readPidFile(const QString &path);

// Whether pid is our tunnel: a live root process running the agent or the
// placeholder. A number that a dead tunnel left behind, now another process's, is not.
bool isTunnelProcess(int pid);

// Whether the tunnel named by the file is running.
bool tunnelRunning(const QString &pidFile);

} // namespace corvanta
