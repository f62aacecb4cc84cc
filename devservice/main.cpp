// corvanta-devservice: the substitute for the Corvanta service, for development,
// demos and tests. Loopback only.

#include "DevService.h"
#include "RegionCatalog.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using namespace corvanta::devservice;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanta-devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Substitute Corvanta service on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on; 0 takes any free port."),
                                        QStringLiteral("port"), QStringLiteral("8790"));
    const QCommandLineOption regionsOption(QStringLiteral("regions"),
                                           QStringLiteral("JSON file with the array of regions to serve."),
                                           QStringLiteral("file"));
    parser.addOption(portOption);
    parser.addOption(regionsOption);
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "corvanta-devservice: --port takes a number from 0 to 65535\n");
        return 2;
    }

    QJsonArray regions = RegionCatalog::builtIn();
    if (parser.isSet(regionsOption)) {
        QString error;
        if (!RegionCatalog::fromFile(parser.value(regionsOption), regions, error)) {
            std::fprintf(stderr, "corvanta-devservice: %s\n", qPrintable(error));
            return 2;
        }
    }

    DevService service(regions);
    const quint16 taken = service.listen(static_cast<quint16>(port));
    if (taken == 0) {
        std::fprintf(stderr, "corvanta-devservice: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("corvanta-devservice listening on http://127.0.0.1:%u\n", taken);
    std::fflush(stdout);
    return app.exec();
}
