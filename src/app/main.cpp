// corvanta: the tray client. Started with a "corvanta:" address (the browser's
// sign-in callback, through the desktop's URL handler) while the client runs, it
// hands the address to the running client and exits.

#include "AppModel.h"
#include "SingleInstance.h"
#include "UrlOpener.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

using namespace corvanta;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("corvanta"));
    QCoreApplication::setApplicationName(QStringLiteral("corvanta"));

    QByteArray callback;
    for (const QString &argument : QCoreApplication::arguments().mid(1)) {
        if (QUrl(argument).scheme() == QLatin1String("corvanta"))
            callback = argument.toUtf8();
    }

    const QString socketPath = SingleInstance::defaultSocketPath();
    if (SingleInstance::forward(socketPath, callback))
        return 0;
    if (!callback.isEmpty())
        std::fprintf(stderr, "corvanta: no sign-in is waiting for this address; starting the client\n");

    SingleInstance instance(socketPath);
    if (!instance.listen()) {
        std::fprintf(stderr, "corvanta: cannot open %s\n", qPrintable(socketPath));
        return 1;
    }

    AppModel::Setup setup;
    setup.openUrl = openInBrowser;
    AppModel model(setup);
    QObject::connect(&instance, &SingleInstance::messageReceived, &model,
                     [&model](const QByteArray &message) { model.handleCallback(QUrl(QString::fromUtf8(message))); });

    // The tray shell and its windows are not part of this build yet.
    std::fprintf(stderr, "corvanta: running without an interface; press Ctrl+C to quit\n");
    return app.exec();
}
