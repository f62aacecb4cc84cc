#include "Paths.h"

#include <QCoreApplication>

namespace corvanta {

QString Paths::defaultInstallerPath()
{
    const bool installed = QCoreApplication::instance()
        && QCoreApplication::applicationDirPath() == QStringLiteral(CORVANTA_INSTALL_BINDIR);
    return installed ? QStringLiteral(CORVANTA_INSTALLED_INSTALLER)
                     : QStringLiteral(CORVANTA_SOURCE_INSTALLER);
}

} // namespace corvanta
