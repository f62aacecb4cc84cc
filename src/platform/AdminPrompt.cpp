#include "AdminPrompt.h"

namespace corvanta {

Command adminPromptCommand(
    const QString &installerPath, PromptPlatform platform, const QString &linuxPromptTool)
{
    switch (platform) {
    case PromptPlatform::MacOS:
        return {QStringLiteral("/usr/bin/osascript"),
            {QStringLiteral("-e"),
                QStringLiteral("do shell script \"'") + installerPath
                    + QStringLiteral("'\" with administrator privileges")}};
    case PromptPlatform::Linux:
        break;
    }
    return {linuxPromptTool, {installerPath}};
}

} // namespace corvanta
