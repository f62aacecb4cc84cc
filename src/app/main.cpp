// corvanta: the tray client. Started with a "corvanta:" address (the browser's
// sign-in callback, through the desktop's URL handler) while the client runs, it
// hands the address to the running client and exits; started again without one,
// it shows the running client.

#include "CorvantaApp.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QQuickView>
#include <QUrl>
#include <QtQml/qqmlextensionplugin.h>

#include <chrono>
#include <cstdio>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;

int main(int argc, char *argv[])
{
    QByteArray callback;
    for (int i = 1; i < argc; ++i) {
        if (QUrl(QString::fromLocal8Bit(argv[i])).scheme() == QLatin1String("corvanta"))
            callback = argv[i];
    }
    // Handing over needs no display: the desktop may start us without one.
    const QString socketPath = SingleInstance::defaultSocketPath();
    if (socketPath.isEmpty()) {
        std::fprintf(stderr, "corvanta: no private folder for the local socket "
                             "($XDG_RUNTIME_DIR and ~/.cache/corvanta-runtime are not yours alone)\n");
        return 1;
    }
    if (SingleInstance::forward(socketPath, callback))
        return 0;

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("corvanta"));
    QApplication::setApplicationName(QStringLiteral("corvanta"));
    QApplication::setDesktopFileName(QStringLiteral("corvanta"));
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(socketPath);
    if (!instance.listen()) {
        std::fprintf(stderr, "corvanta: cannot open %s\n", qPrintable(socketPath));
        return 1;
    }
    CorvantaApp corvanta(instance);
    // For the start-up benchmark: show the popover, print when its first frame is
    // done (nanoseconds since the epoch, to compare with the time of the start) and end.
    if (QCoreApplication::arguments().contains(QStringLiteral("--quit-after-first-frame"))) {
        QObject::connect(
            corvanta.popover(), &QQuickWindow::frameSwapped, &app,
            [] {
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                std::printf("first frame %lld\n", static_cast<long long>(std::chrono::nanoseconds(now).count()));
                QCoreApplication::quit();
            },
            Qt::SingleShotConnection);
        if (!corvanta.popover()->isVisible())
            corvanta.showPopover();
    }
    return app.exec();
}
