#pragma once

#include <QString>

namespace corvanta {

// The fixed programs and files the connection uses. Users always get the defaults;
// tests point them at fakes.
struct Paths
{
    QString sudo = QStringLiteral("/usr/bin/sudo");
    // The root-owned connect script that brings the tunnel up and down.
    QString helper = QStringLiteral("/usr/local/libexec/corvanta/cv-connect.sh");
    // Installs the connect script and its sudoers rule; run once through the prompt tool.
    QString installer = defaultInstallerPath();
    // Shows the administrator-password prompt and runs the installer as root.
    QString promptTool = QStringLiteral("/usr/bin/pkexec");
    // Written by the connect script while the tunnel is up, in a folder only root
    // writes to; only read here.
    QString pidFile = QStringLiteral("/run/corvanta/corvanta-app.pid");

    // The installed copy of install-helper.sh for an installed client, the source
    // tree's scripts/install-helper.sh for a client run from its build tree. Both
    // paths are fixed when the client is built.
    static QString defaultInstallerPath();
};

} // namespace corvanta
