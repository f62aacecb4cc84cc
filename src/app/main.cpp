// corvanta: the tray client. Started with a "corvanta:" address (the browser's
// sign-in callback, through the desktop's URL handler) while the client runs, it
// hands the address to the running client and exits; started again without one,
// it shows the running client. With a command (status, connect, ...) it asks the
// running client and prints the answer; none of that needs a display.

#include "CorvantaApp.h"
#include "Diagnostics.h"
#include "Log.h"
#include "RemoteCommands.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQuickView>
#include <QUrl>
#include <QtQml/qqmlextensionplugin.h>

#include <chrono>
#include <cstdio>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;

namespace {

// Exit statuses of the commands.
enum Status
{
    success = 0,
    failed = 1,
    usage = 2,
    notRunning = 3,
};

const QStringList commands {QStringLiteral("status"), QStringLiteral("connect"), QStringLiteral("disconnect"),
    QStringLiteral("locations"), QStringLiteral("diagnostics")};

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// Service text goes to a terminal: no control characters, so it can neither move
// the cursor nor change the terminal, and an error stays on its one line.
QString plain(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return text;
}

int fail(int status, const QString &text)
{
    print(stderr, QStringLiteral("corvanta: ") + plain(text).simplified() + QLatin1Char('\n'));
    return status;
}

QString place(const QJsonValue &location)
{
    if (!location.isObject())
        return QStringLiteral("none chosen");
    const QJsonObject l = location.toObject();
    return plain(QStringLiteral("%1, %2 (%3)")
                     .arg(l[QLatin1String("city")].toString(), l[QLatin1String("country")].toString(),
                         l[QLatin1String("id")].toString()));
}

QString statusText(const QJsonObject &status)
{
    const QJsonValue exit = status[QLatin1String("exitAddress")];
    return QStringLiteral("State:        %1\nLocation:     %2\nExit address: %3\nSigned in:    %4\n")
        .arg(plain(status[QLatin1String("state")].toString()), place(status[QLatin1String("location")]),
            exit.isString() ? plain(exit.toString()) : QStringLiteral("none"),
            status[QLatin1String("signedIn")].toBool() ? QStringLiteral("yes") : QStringLiteral("no"));
}

QString locationsText(const QJsonArray &locations)
{
    qsizetype width = 2;
    for (const QJsonValue &l : locations)
        width = std::max(width, l[QLatin1String("id")].toString().size());
    QString text;
    for (const QJsonValue &l : locations) {
        text += QStringLiteral("%1  %2, %3  %4\n")
                    .arg(plain(l[QLatin1String("id")].toString()), -int(std::min<qsizetype>(width, 40)))
                    .arg(plain(l[QLatin1String("city")].toString()),
                        plain(l[QLatin1String("country")].toString()),
                        l[QLatin1String("online")].toBool() ? QStringLiteral("online")
                                                            : QStringLiteral("not available"));
    }
    return text;
}

// One line, for scripts that read line by line.
QString jsonLine(const QJsonDocument &document)
{
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

// A command for the running client: sends it, prints the answer.
int runCommand(const QString &command, const QStringList &arguments, bool json)
{
    if (arguments.size() > (command == QLatin1String("connect") ? 1 : 0))
        return fail(usage, QStringLiteral("too many arguments for %1 (see corvanta --help)").arg(command));
    QJsonObject request {{QStringLiteral("command"), command}};
    if (!arguments.isEmpty())
        request.insert(QStringLiteral("location"), arguments.first());

    const QString socketPath = SingleInstance::defaultSocketPath();
    const auto limit
        = command == QLatin1String("connect") ? RemoteCommands::connectLimit : RemoteCommands::otherLimit;
    // A little longer than the client takes before it answers by itself.
    SingleInstance::Answer answer;
    if (!socketPath.isEmpty())
        answer = SingleInstance::ask(
            socketPath, request, int(std::chrono::milliseconds(limit).count()) + 10'000);

    QJsonObject reply = answer.reply;
    switch (answer.outcome) {
    case SingleInstance::Answer::answered:
        break;
    case SingleInstance::Answer::notRunning:
        if (command != QLatin1String("diagnostics"))
            return fail(notRunning, QStringLiteral("corvanta is not running"));
        // What this process can tell by itself.
        reply = {{QStringLiteral("ok"), true}, {QStringLiteral("report"), diagnostics::report(std::nullopt)}};
        break;
    case SingleInstance::Answer::noAnswer:
        return fail(failed, QStringLiteral("the running corvanta did not answer"));
    case SingleInstance::Answer::tooOld:
        return fail(failed,
            QStringLiteral(
                "the running corvanta is older and takes no commands; quit it and start it again"));
    }
    if (!reply.value(QLatin1String("ok")).toBool())
        return fail(failed, reply.value(QLatin1String("error")).toString(QStringLiteral("failed")));
    reply.remove(QStringLiteral("ok"));

    if (command == QLatin1String("locations")) {
        const QJsonArray locations = reply.value(QLatin1String("locations")).toArray();
        print(stdout, json ? jsonLine(QJsonDocument(locations)) : locationsText(locations));
    } else if (command == QLatin1String("diagnostics")) {
        const QJsonObject report = reply.value(QLatin1String("report")).toObject();
        print(stdout, json ? jsonLine(QJsonDocument(report)) : diagnostics::text(report));
    } else {
        print(stdout, json ? jsonLine(QJsonDocument(reply)) : statusText(reply));
    }
    return success;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Corvanta's private, encrypted internet, from the tray.\n"
                       "Without a command: starts the client, or shows the one that runs.\n\n"
                       "Commands, for the running client:\n"
                       "  status          the state, the location and the exit address\n"
                       "  connect [ID]    connects to location ID, or to the chosen one, and waits\n"
                       "                  until connected or failed (90 s at most)\n"
                       "  disconnect      takes the tunnel down\n"
                       "  locations       every location: id, place, availability\n"
                       "  diagnostics     a report for support, secrets taken out (also when\n"
                       "                  corvanta is not running)\n\n"
                       "Exit status: 0 done, 1 failed, 2 wrong usage, 3 corvanta is not running."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Prints a command's answer as one JSON document."));
    const QCommandLineOption hiddenOption(
        QStringLiteral("hidden"), QStringLiteral("Starts without showing a window (start at login)."));
    // For the start-up benchmark: show the popover, print when its first frame is
    // done (nanoseconds since the epoch, to compare with the time of the start) and end.
    QCommandLineOption firstFrameOption(QStringLiteral("quit-after-first-frame"));
    firstFrameOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({jsonOption, hiddenOption, firstFrameOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."),
        QStringLiteral("[command | corvanta:address]"));

    const bool parsed = parser.parse(arguments);
    const QStringList positional = parser.positionalArguments();
    const QString first = positional.value(0);
    const bool isCommand = commands.contains(first);
    QByteArray callback;
    for (const QString &argument : positional) {
        if (QUrl(argument).scheme() == QLatin1String("corvanta"))
            callback = argument.toLocal8Bit();
    }

    if (!parsed || parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))
        || parser.isSet(versionOption) || isCommand || (!first.isEmpty() && callback.isEmpty())) {
        QCoreApplication app(argc, argv); // no display needed
        QCoreApplication::setApplicationName(QStringLiteral("corvanta"));
        QCoreApplication::setApplicationVersion(diagnostics::version());
        if (!parsed)
            return fail(usage, parser.errorText());
        if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
            print(stdout, parser.helpText());
            return success;
        }
        if (parser.isSet(versionOption)) {
            print(stdout, QStringLiteral("corvanta %1\n").arg(diagnostics::version()));
            return success;
        }
        if (!isCommand)
            return fail(
                usage, QStringLiteral("unknown command \"%1\" (see corvanta --help)").arg(first.left(40)));
        return runCommand(first, positional.mid(1), parser.isSet(jsonOption));
    }

    // Handing over needs no display: the desktop may start us without one.
    const QString socketPath = SingleInstance::defaultSocketPath();
    if (socketPath.isEmpty()) {
        std::fprintf(stderr,
            "corvanta: no private folder for the local socket "
            "($XDG_RUNTIME_DIR and ~/.cache/corvanta-runtime are not yours alone)\n");
        return 1;
    }
    const bool hidden = parser.isSet(hiddenOption);
    // Started at login while one already runs: it stays as it is.
    if (hidden && callback.isEmpty()
        && SingleInstance::ask(socketPath, {{QStringLiteral("command"), QStringLiteral("status")}}, 3000)
                .outcome
            != SingleInstance::Answer::notRunning)
        return 0;
    if (SingleInstance::forward(socketPath, callback))
        return 0;

    log::install();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("corvanta"));
    QApplication::setApplicationName(QStringLiteral("corvanta"));
    QApplication::setApplicationVersion(diagnostics::version());
    QApplication::setDesktopFileName(QStringLiteral("corvanta"));
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(socketPath);
    if (!instance.listen()) {
        std::fprintf(stderr, "corvanta: cannot open %s\n", qPrintable(socketPath));
        return 1;
    }
    CorvantaApp corvanta(instance, CorvantaApp::defaultSetup(), hidden);
    if (parser.isSet(firstFrameOption)) {
        QObject::connect(
            corvanta.popover(), &QQuickWindow::frameSwapped, &app,
            [] {
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                std::printf(
                    "first frame %lld\n", static_cast<long long>(std::chrono::nanoseconds(now).count()));
                QCoreApplication::quit();
            },
            Qt::SingleShotConnection);
        if (!corvanta.popover()->isVisible())
            corvanta.showPopover();
    }
    return app.exec();
}
