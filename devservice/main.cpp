// corvanta-devservice: the substitute for the Corvanta service, for development,
// demos and tests. Loopback unless told otherwise; with --mesh it also runs a real
// WireGuard exit in a network namespace of its own.

#include "DevService.h"
#include "EchoServer.h"
#include "Mesh.h"
#include "RegionCatalog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace corvanta::devservice;

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT, SIGTERM and SIGHUP end the event loop instead of the process, so the
// exit node is taken apart on the way out.
void quitOnSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanta-devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Substitute Corvanta service."));
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
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral("IPv4 address to serve the API on."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption meshOption(QStringLiteral("mesh"),
        QStringLiteral("Run a real WireGuard exit in a network namespace of its own (needs root)."));
    const QCommandLineOption meshRoutesOption(QStringLiteral("mesh-routes"),
        QStringLiteral("What joining clients route through the exit: mesh (100.96.0.0/24 only) or full "
                       "(everything; for tests inside namespaces)."),
        QStringLiteral("mesh|full"), QStringLiteral("mesh"));
    QCommandLineOption echoOption(QStringLiteral("echo-server"));
    echoOption.setFlags(QCommandLineOption::HiddenFromHelp); // the exit node runs us this way
    parser.addOption(portOption);
    parser.addOption(listenOption);
    parser.addOption(regionsOption);
    parser.addOption(provisionOption);
    parser.addOption(ssoOption);
    parser.addOption(quietOption);
    parser.addOption(meshOption);
    parser.addOption(meshRoutesOption);
    parser.addOption(echoOption);
    parser.process(app);

    if (parser.isSet(echoOption))
        return runEchoServer();

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

    // Strictly dotted-quad: anything the parser would read some other way is refused.
    const QHostAddress address(parser.value(listenOption));
    if (address.protocol() != QAbstractSocket::IPv4Protocol
        || address.toString() != parser.value(listenOption)) {
        std::fprintf(stderr, "corvanta-devservice: --listen takes an IPv4 address such as 127.0.0.1\n");
        return 2;
    }

    const QString meshRoutes = parser.value(meshRoutesOption);
    if (meshRoutes != QLatin1String("mesh") && meshRoutes != QLatin1String("full")) {
        std::fprintf(stderr, "corvanta-devservice: --mesh-routes takes mesh or full\n");
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

    std::unique_ptr<Mesh> mesh; // outlives the service, which points at it
    DevService service(options);
    const quint16 taken = service.listen(address, static_cast<quint16>(port));
    if (taken == 0) {
        std::fprintf(
            stderr, "corvanta-devservice: cannot listen on %s:%u\n", qPrintable(address.toString()), port);
        return 1;
    }

    if (parser.isSet(meshOption) && ::geteuid() != 0) {
        std::fprintf(stderr,
            "corvanta-devservice: --mesh needs root; the tunnel cannot be real without it, so connect info "
            "stays made up\n");
    } else if (parser.isSet(meshOption)) {
        quitOnSignals();
        mesh = std::make_unique<Mesh>(
            meshRoutes == QLatin1String("full") ? Mesh::Routes::Everything : Mesh::Routes::MeshOnly);
        QString error;
        if (!mesh->start(error)) {
            std::fprintf(
                stderr, "corvanta-devservice: the exit node could not be set up: %s\n", qPrintable(error));
            return 1;
        }
        service.useMesh(mesh.get());
    }

    std::printf("corvanta-devservice listening on http://%s:%u\n", qPrintable(address.toString()), taken);
    std::printf("demo account: %s, password %s, token %s\n", qPrintable(Accounts::demoEmail),
        qPrintable(Accounts::demoPassword), qPrintable(service.accounts().demoToken()));
    std::fflush(stdout);
    return app.exec();
}
