#pragma once

#include <QString>
#include <QStringList>

namespace corvanta {

// A program and its argument vector, run without a shell.
struct Command
{
    QString program;
    QStringList arguments;
};

enum class PromptPlatform
{
    Linux,
    MacOS
};

// The command that runs `installerPath` as root behind the system's
// administrator-password prompt: polkit's pkexec on Linux; AppleScript's
// `do shell script … with administrator privileges` on macOS.
Command adminPromptCommand(const QString &installerPath, PromptPlatform platform,
    const QString &linuxPromptTool = QStringLiteral("/usr/bin/pkexec"));

// pkexec's exit status when the user dismissed the prompt.
constexpr int promptDismissedStatus = 126;

} // namespace corvanta
