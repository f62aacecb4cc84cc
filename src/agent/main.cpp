// corvanta-agent: the tunnel. Started as root by the connect script, it joins the
// mesh, brings a WireGuard interface up, says so by a file once the first
// handshake is done, and stays until it is told to stop (SIGTERM, SIGINT, SIGHUP)
// or the interface goes away; then it takes down everything it set up.

#include "Agent.h"
#include "ApiError.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace corvanta;
using namespace corvanta::agent;

namespace {

// The stop signals arrive as a readable descriptor, so the event loop handles
// them like any other event.
int stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

QCoro::Task<> bringUp(Agent *agent, bool *isUp, std::function<void(QString)> fail)
{
    try {
        co_await agent->up();
        QFile ready(agent->readyFile());
        if (!ready.open(QIODevice::WriteOnly))
            throw ApiError(
                ApiError::serviceDomain, 0, QStringLiteral("cannot write %1").arg(ready.fileName()));
        *isUp = true;
    } catch (const ApiError &error) {
        fail(error.description());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const int stopFd = stopSignals(); // before any thread starts
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanta-agent"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The Corvanta tunnel. Run by the connect script, as root."));
    parser.addHelpOption();
    const QStringList names {QStringLiteral("server"), QStringLiteral("exit-mesh-ip"),
        QStringLiteral("relay"), QStringLiteral("join-code"), QStringLiteral("control-plane"),
        QStringLiteral("pid-file")};
    for (const QString &name : names)
        parser.addOption(QCommandLineOption(name, name, QStringLiteral("value")));
    parser.process(app);

    int status = 0;
    std::unique_ptr<Agent> agent;
    const auto fail = [&](const QString &reason) {
        std::fprintf(stderr, "corvanta-agent: %s\n", qPrintable(reason));
        status = 1;
        QCoreApplication::exit(1);
    };
    try {
        QStringList values;
        for (const QString &name : names) {
            if (!parser.isSet(name))
                throw ApiError(ApiError::serviceDomain, 0, QStringLiteral("missing --%1").arg(name));
            values.append(parser.value(name));
        }
        agent = std::make_unique<Agent>(
            parseOrders(values[0], values[1], values[2], values[3], values[4], values[5]));
    } catch (const ApiError &error) {
        std::fprintf(stderr, "corvanta-agent: %s\n", qPrintable(error.description()));
        return 1;
    }
    if (getuid() != 0) {
        std::fprintf(stderr, "corvanta-agent: must run as root\n");
        return 1;
    }

    bool isUp = false;
    QSocketNotifier stop(stopFd, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, [&] {
        signalfd_siginfo info;
        while (read(stopFd, &info, sizeof info) == sizeof info) { }
        QCoreApplication::quit();
    });
    // A tunnel whose interface vanished (wireguard-go ended) protects nothing.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (isUp && !agent->interfaceExists())
            fail(QStringLiteral("the tunnel's interface went away"));
    });
    watch.start(1000);

    bringUp(agent.get(), &isUp, fail);

    const int exitCode = app.exec();
    agent->down();
    return status ? status : exitCode;
}
