#include "UrlOpener.h"

#include <QProcess>

namespace corvanta {

bool openInBrowser(const QUrl &url)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

} // namespace corvanta
