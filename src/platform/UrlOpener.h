#pragma once

#include <QUrl>

namespace corvanta {

// Opens an address in the user's default browser (xdg-open). False when that could
// not be started.
bool openInBrowser(const QUrl &url);

} // namespace corvanta
