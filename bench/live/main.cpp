// The running client's figures: memory over many open/close cycles and over
// thousands of heartbeats, the GUI thread's longest stall during the slow
// operations, and the cost of sitting idle. It runs the client's own application
// object against the real substitute service; only sudo is a stand-in, so that a
// connect needs no administrator. Prints markdown table rows; exits 1 when a
// budget is missed.
//   corvanta-bench-live DEVSERVICE LABEL                          memory, responsiveness
//   corvanta-bench-live DEVSERVICE LABEL --idle STATE SECONDS     STATE: disconnected | connected

#include "CorvantaApp.h"
#include "DevServiceProcess.h"
#include "Regions.h"

#include <QApplication>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;

namespace {

constexpr double growthBudgetMiB = 2;
constexpr double stallBudgetMs = 50;
constexpr double idleBudgetPercent = 0.1;
constexpr int repeats = 5;

QString label; // the display settings, appended to every figure

bool failed = false;

void row(const QString &figure, const QString &client, const QString &budget, bool ok)
{
    failed = failed || !ok;
    std::printf("| %s, %s | %s | — | — | %s | %s |\n", qPrintable(figure), qPrintable(label),
        qPrintable(client), qPrintable(budget), ok ? "ok" : "MISSED");
    std::fflush(stdout);
}

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024 * 1024);
}

// Turns the event loop until `done` holds; false after `timeoutMs`.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 30'000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer nudge; // so the time-out is noticed even when nothing else happens
    nudge.start(20);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The GUI thread's longest gap between two ticks of a 5 ms timer.
class StallProbe
{
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_clock.start();
        m_last = now();
        m_timer.start();
    }
    double longestMs()
    {
        tick();
        return m_longest;
    }

private:
    double now() const { return m_clock.nsecsElapsed() / 1e6; }
    void tick()
    {
        const double t = now();
        m_longest = std::max(m_longest, t - m_last);
        m_last = t;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0;
    double m_longest = 0;
};

// Everything the client needs besides itself: the service, a folder for its
// settings and socket, and sudo's stand-in.
struct Rig
{
    QTemporaryDir dir;
    test::DevServiceProcess service;
    QString email = QStringLiteral("demo@corvanta.test");
    QString password = QStringLiteral("corvanta-demo");

    bool start(const QString &program, const QStringList &arguments)
    {
        QFile sudo(path("sudo"));
        // Brings the "tunnel" up after the pause in sudo.pause: a process named as
        // the agent (the client counts only that), its pid where the client looks.
        if (!sudo.open(QIODevice::WriteOnly)
            || sudo.write("#!/bin/bash\n"
                          "case \"$3\" in\n"
                          "  up) sleep \"$(cat \"$0.pause\" 2>/dev/null || echo 0)\"\n"
                          "      (exec -a /bench/corvanta-agent sleep 900) </dev/null >/dev/null 2>&1 &\n"
                          "      echo \"$!\" >\"$0.pid\" ;;\n"
                          "  down) kill \"$(cat \"$0.pid\" 2>/dev/null)\" 2>/dev/null; rm -f \"$0.pid\" ;;\n"
                          "esac\n")
                < 0)
            return false;
        sudo.close();
        sudo.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile helper(path("cv-connect.sh")); // only its presence is checked
        if (!helper.open(QIODevice::WriteOnly))
            return false;
        helper.close();
        setConnectPause(0);
        if (!service.start(program, arguments))
            return false;
        qputenv("CORVANTA_API", service.base().toUtf8());
        return true;
    }

    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    // Heartbeats as the service received them.
    int heartbeats() { return int(service.output().count(QLatin1String("/heartbeat -> 200"))); }

    void setConnectPause(double seconds) const
    {
        QFile pause(path("sudo") + QStringLiteral(".pause"));
        if (pause.open(QIODevice::WriteOnly))
            pause.write(QByteArray::number(seconds));
    }

    AppModel::Setup setup(const Timing &timing = {}) const
    {
        AppModel::Setup setup = CorvantaApp::defaultSetup();
        setup.settingsFile = path("corvanta.conf");
        setup.timing = timing;
        setup.paths.sudo = path("sudo");
        setup.paths.helper = path("cv-connect.sh");
        setup.paths.pidFile = path("sudo") + QStringLiteral(".pid");
        setup.openUrl = [](const QUrl &) { return true; };
        return setup;
    }
};

// One instance of the client, as main() makes it.
struct Client
{
    explicit Client(const AppModel::Setup &setup, const QString &socket)
        : instance(socket)
        , app(instance, setup)
    { }

    AppModel &model() { return app.model(); }

    // The model's operations report failures in its state, never by throwing.
    bool signIn(const QString &email, const QString &password)
    {
        QCoro::waitFor(model().login(email, password));
        return model().isAuthed();
    }

    bool loadRegions()
    {
        QCoro::waitFor(model().loadRegions());
        // (A load the window started on showing may still be on its way.)
        return waitFor([this] { return model().regions().size() == 10'000; });
    }

    bool connectTo(int regionIndex)
    {
        model().setSelected(model().regions().value(regionIndex));
        QCoro::waitFor(model().connect());
        return model().state() == AppModel::ConnState::connected;
    }

    bool disconnect()
    {
        QCoro::waitFor(model().disconnect());
        return model().state() == AppModel::ConnState::disconnected;
    }

    SingleInstance instance;
    CorvantaApp app;
};

bool frameOf(QQuickView *view)
{
    bool drawn = false;
    const auto connection = QObject::connect(view, &QQuickWindow::frameSwapped, [&drawn] { drawn = true; });
    const bool ok = waitFor([&drawn] { return drawn; }, 5000);
    QObject::disconnect(connection);
    return ok;
}

bool openAndClose(Client &client)
{
    client.app.showPopover();
    if (!frameOf(client.app.popover()))
        return false;
    client.app.popover()->hide();
    client.app.openLocations();
    if (!frameOf(client.app.locations()))
        return false;
    client.app.locations()->close();
    return true;
}

QString mib(double before, double after)
{
    return QStringLiteral("%1%2 MiB (%3 → %4 MiB)")
        .arg(after >= before ? "+" : "−")
        .arg(qAbs(after - before), 0, 'f', 2)
        .arg(before, 0, 'f', 1)
        .arg(after, 0, 'f', 1);
}

// The longest stall of one or more runs (with the median beside it for several).
void stallRow(const QString &what, QList<double> ms)
{
    std::sort(ms.begin(), ms.end());
    QString client = QStringLiteral("%1 ms").arg(ms.last(), 0, 'f', 1);
    if (ms.size() > 1)
        client += QStringLiteral(" (largest of %1; median %2 ms)")
                      .arg(ms.size())
                      .arg(ms.at(ms.size() / 2), 0, 'f', 1);
    row(QStringLiteral("longest GUI stall, ") + what, client, QStringLiteral("≤ %1 ms").arg(stallBudgetMs),
        ms.last() <= stallBudgetMs);
}

// Memory and responsiveness, in the order a user meets them.
bool liveFigures(Rig &rig)
{
    Timing timing;
    timing.pollInterval = std::chrono::milliseconds(500);
    {
        Client client(rig.setup(timing), rig.path("one.sock"));
        client.app.showPopover(); // signed out: the login panel; the locations load at once
        if (!frameOf(client.app.popover())
            || !waitFor([&] { return client.model().regions().size() == 10'000; }))
            return false;

        // The short operations are repeated, so that one lucky run cannot hide a stall.
        QList<double> signIns;
        for (int i = 0; i < repeats; ++i) {
            if (i) {
                client.model().logout();
                frameOf(client.app.popover());
            }
            StallProbe signIn;
            if (!client.signIn(rig.email, rig.password))
                return false;
            signIns.append(signIn.longestMs());
        }
        stallRow(QStringLiteral("sign-in (and its 10,000 locations)"), signIns);

        client.app.openLocations();
        QList<double> loads;
        for (int i = 0; i < repeats; ++i) {
            client.model().setRegions({}); // so that the load fills both lists anew
            if (!frameOf(client.app.locations()))
                return false;
            StallProbe load;
            if (!client.loadRegions())
                return false;
            loads.append(load.longestMs());
        }
        stallRow(QStringLiteral("loading 10,000 locations, both windows open"), loads);

        StallProbe provisioning; // the service takes a second; polls every half second
        if (!client.connectTo(1))
            return false;
        stallRow(QStringLiteral("connect with provisioning polls"), {provisioning.longestMs()});
        if (!client.disconnect())
            return false;

        rig.setConnectPause(2);
        StallProbe slowScript; // the server is ready; the connect script takes 2 s
        if (!client.connectTo(1))
            return false;
        stallRow(QStringLiteral("connect whose connect script takes 2 s"), {slowScript.longestMs()});
        rig.setConnectPause(0);
        if (!client.disconnect())
            return false;

        for (int i = 0; i < 3; ++i) // first views, caches and glyphs
            openAndClose(client);
        settle(500);
        const double before = residentMiB();
        for (int i = 0; i < 50; ++i) {
            if (!openAndClose(client))
                return false;
        }
        settle(500);
        const double after = residentMiB();
        row(QStringLiteral("memory over 50 open/close cycles of popover and locations window"),
            mib(before, after), QStringLiteral("≤ +%1 MiB").arg(growthBudgetMiB),
            after - before <= growthBudgetMiB);
    }

    // Heartbeats a millisecond apart; the session from above is restored.
    timing.heartbeatInterval = std::chrono::milliseconds(1);
    Client client(rig.setup(timing), rig.path("two.sock"));
    if (!client.loadRegions() || !client.connectTo(1))
        return false;
    if (!waitFor([&] { return rig.heartbeats() >= 200; }))
        return false;
    const double before = residentMiB();
    const int first = rig.heartbeats();
    if (!waitFor([&] { return rig.heartbeats() >= first + 2000; }, 120'000))
        return false;
    const double after = residentMiB();
    row(QStringLiteral("memory over 2,000 heartbeats"), mib(before, after),
        QStringLiteral("≤ +%1 MiB").arg(growthBudgetMiB), after - before <= growthBudgetMiB);
    return client.disconnect();
}

// The client signed in, sitting still for `seconds`; connected, it sends its
// heartbeat once a minute as users get it.
bool idleFigures(Rig &rig, bool connected, int seconds)
{
    Client client(rig.setup(), rig.path("idle.sock"));
    if (!client.signIn(rig.email, rig.password))
        return false;
    if (connected && !client.connectTo(1))
        return false;
    settle(1000);

    rusage start {};
    getrusage(RUSAGE_SELF, &start);
    QElapsedTimer wall;
    wall.start();
    const int beats = rig.heartbeats();
    settle(seconds * 1000);
    rusage end {};
    getrusage(RUSAGE_SELF, &end);
    const double wallMs = wall.nsecsElapsed() / 1e6;

    const auto ms = [](const timeval &t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    const double cpuMs = ms(end.ru_utime) + ms(end.ru_stime) - ms(start.ru_utime) - ms(start.ru_stime);
    const double percent = 100.0 * cpuMs / wallMs;
    // Each voluntary switch is a thread going to sleep, that is one wake-up later.
    const long wakeUps = end.ru_nvcsw - start.ru_nvcsw;
    QString figure = QStringLiteral("idle %1 s signed in, ").arg(seconds);
    figure += connected ? QStringLiteral("connected (%1 heartbeat%2)")
                              .arg(rig.heartbeats() - beats)
                              .arg(rig.heartbeats() - beats == 1 ? "" : "s")
                        : QStringLiteral("disconnected");
    row(figure,
        QStringLiteral("%1 % CPU (%2 ms), %3 wake-ups")
            .arg(percent, 0, 'f', 3)
            .arg(cpuMs, 0, 'f', 0)
            .arg(wakeUps),
        QStringLiteral("≤ %1 %").arg(idleBudgetPercent), percent <= idleBudgetPercent);
    return !connected || client.disconnect();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: corvanta-bench-live DEVSERVICE LABEL [--idle STATE SECONDS]\n");
        return 2;
    }
    label = args.at(2);
    const bool idle = args.size() == 6 && args.at(3) == QLatin1String("--idle");

    Rig rig;
    QFile regions(rig.path("regions.json"));
    if (!regions.open(QIODevice::WriteOnly) || regions.write(bench::regionsReply(10'000)) < 0)
        return 2;
    regions.close();
    // (Not quiet: the heartbeats are counted as the service logs them.)
    const QStringList serviceArguments {QStringLiteral("--provision-seconds"), QStringLiteral("1"),
        QStringLiteral("--regions"), regions.fileName()};
    if (!rig.start(args.at(1), serviceArguments)) {
        std::fprintf(stderr, "corvanta-bench-live: the substitute service did not start\n");
        return 2;
    }

    const bool ran = idle ? idleFigures(rig, args.at(4) == QLatin1String("connected"), args.at(5).toInt())
                          : liveFigures(rig);
    if (!ran) {
        std::fprintf(stderr, "corvanta-bench-live: a step did not finish (%s)\n", qPrintable(label));
        return 2;
    }
    return failed ? 1 : 0;
}
