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
        QStringLiteral("Port to listen on; 0 takes any free port."), QStringLiteral("port"),
        QStringLiteral("8790"));
    const QCommandLineOption regionsOption(QStringLiteral("regions"),
        QStringLiteral("JSON file with the array of regions to serve."), QStringLiteral("file"));
    const QCommandLineOption provisionOption(QStringLiteral("provision-seconds"),
        QStringLiteral("How long a new server takes to be ready; 0 = at once."), QStringLiteral("seconds"),
        QStringLiteral("3"));
    const QCommandLineOption ssoOption(QStringLiteral("sso-domains"),
        QStringLiteral("Comma-separated e-mail domains with company sign-on."), QStringLiteral("domains"),
        QStringLiteral("example.com"));
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"), QStringLiteral("Do not print each request."));
    parser.addOption(portOption);
    parser.addOption(regionsOption);
    parser.addOption(provisionOption);
    parser.addOption(ssoOption);
    parser.addOption(quietOption);
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "corvanta-devservice: --port takes a number from 0 to 65535\n");
        return 2;
    }

    bool delayOk = false;
    const double provisionSeconds = parser.value(provisionOption).toDouble(&delayOk);
    if (!delayOk || provisionSeconds < 0 || provisionSeconds > 3600) {
        std::fprintf(stderr, "corvanta-devservice: --provision-seconds takes a number from 0 to 3600\n");
        return 2;
    }

    DevService::Options options;
    options.regions = RegionCatalog::builtIn();
    options.provisionDelay = std::chrono::milliseconds(qRound64(provisionSeconds * 1000));
    options.logRequests = !parser.isSet(quietOption);
    options.ssoDomains = parser.value(ssoOption).toLower().split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parser.isSet(regionsOption)) {
        QString error;
        if (!RegionCatalog::fromFile(parser.value(regionsOption), options.regions, error)) {
            std::fprintf(stderr, "corvanta-devservice: %s\n", qPrintable(error));
            return 2;
        }
    }

    DevService service(options);
    const quint16 taken = service.listen(static_cast<quint16>(port));
    if (taken == 0) {
        std::fprintf(stderr, "corvanta-devservice: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("corvanta-devservice listening on http://127.0.0.1:%u\n", taken);
    std::printf("demo account: %s, password %s, token %s\n", qPrintable(Accounts::demoEmail),
        qPrintable(Accounts::demoPassword), qPrintable(service.accounts().demoToken()));
    std::fflush(stdout);
    return app.exec();
}
