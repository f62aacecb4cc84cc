#pragma once

#include <QString>

#include <optional>

namespace corvanta {

// Reads the tunnel's process id from its file. The file lives in world-writable
// /tmp, so it counts only when it is a regular file (not a link), owned by root or
// by us, and writable by nobody else; its text must be a signed 32-bit decimal
// number, blanks and line breaks around it allowed.
std::optional<int> readPidFile(const QString &path);

// Whether a kill(pid, 0) result means the process exists: success, or EPERM (it
// belongs to another user, as a tunnel started through sudo does).
bool probeSaysRunning(int killResult, int error);

// Whether the tunnel named by the file is running. Process id 0 or below never
// counts: kill() would probe a process group, or every process.
bool tunnelRunning(const QString &pidFile);

} // namespace corvanta
