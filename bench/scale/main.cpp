// Scale: decoding a 10,000-region reply against a bare QJsonDocument parse of the
// same bytes, and the locations window's first frame with 10,000 regions against
// 10. Prints markdown table rows; exits 1 when a budget is missed.

#include "AppModel.h"
#include "IconProvider.h"
#include "Regions.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QQmlEngine>
#include <QQuickView>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>
#include <cstdio>
#include <functional>

Q_IMPORT_QML_PLUGIN(CorvantaPlugin)

using namespace corvanta;
using corvanta::bench::regionsReply;

namespace {

double medianMs(int runs, const std::function<void()> &work)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        work();
        times.append(clock.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times.at(times.size() / 2);
}

// From loading the window to its first frame, with `count` regions in the model.
double windowFirstFrameMs(const QString &settings, int count)
{
    AppModel::Setup setup;
    setup.settingsFile = settings;
    AppModel model(setup);
    model.setRegions(decodeReply<QList<Region>>(regionsReply(count)));
    QElapsedTimer clock;
    clock.start();
    QQuickView view;
    view.engine()->addImportPath(QStringLiteral("qrc:/"));
    view.engine()->addImageProvider(QStringLiteral("symbol"), new IconProvider);
    view.setInitialProperties({{QStringLiteral("model"), QVariant::fromValue<QObject *>(&model)}});
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(360, 480);
    view.setSource(QUrl(QStringLiteral("qrc:/Corvanta/LocationsWindow.qml")));
    QEventLoop loop;
    QObject::connect(&view, &QQuickWindow::frameSwapped, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    view.show();
    loop.exec();
    return clock.nsecsElapsed() / 1e6;
}

bool row(const char *figure, double client, double floor, double budget, const char *floorName)
{
    const double ratio = client / floor;
    const bool ok = ratio <= budget;
    std::printf("| %s | %.1f ms | %.1f ms (%s) | %.2f× | ≤ %.0f× | %s |\n", figure, client, floor, floorName, ratio,
                budget, ok ? "ok" : "MISSED");
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("CORVANTA_API", "");
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;

    const QByteArray reply = regionsReply(10000);
    const double parse = medianMs(21, [&] { QJsonDocument::fromJson(reply); });
    const double decode = medianMs(21, [&] { decodeReply<QList<Region>>(reply); });

    windowFirstFrameMs(dir.filePath(QStringLiteral("warm.conf")), 10); // loads QML and fonts once
    QList<double> small, large;
    for (int i = 0; i < 5; ++i) {
        small.append(windowFirstFrameMs(dir.filePath(QStringLiteral("s.conf")), 10));
        large.append(windowFirstFrameMs(dir.filePath(QStringLiteral("l.conf")), 10000));
    }
    std::sort(small.begin(), small.end());
    std::sort(large.begin(), large.end());

    bool ok = row("decode of a 10,000-region reply", decode, parse, 3, "bare parse");
    ok = row("locations window first frame, 10,000 regions", large.at(2), small.at(2), 2, "10 regions") && ok;
    return ok ? 0 : 1;
}
