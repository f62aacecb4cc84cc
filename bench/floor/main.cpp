// The floor of the start-up benchmark: the least a Qt Quick program does to show
// one window of the popover's size with one text, quitting after its first frame
// (printing when it was done, as the client does).

#include <QGuiApplication>
#include <QQuickView>

#include <chrono>
#include <cstdio>

int main(int argc, char *argv[])
{
    // Drawn on the GUI thread, as the client draws its windows.
    if (!qEnvironmentVariableIsSet("QSG_RENDER_LOOP"))
        qputenv("QSG_RENDER_LOOP", "basic");
    QGuiApplication app(argc, argv);
    QQuickView view;
    view.setSource(QUrl(QStringLiteral("qrc:/floor/Floor.qml")));
    QObject::connect(
        &view, &QQuickWindow::frameSwapped, &app,
        [] {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            std::printf("first frame %lld\n", static_cast<long long>(std::chrono::nanoseconds(now).count()));
            QCoreApplication::quit();
        },
        Qt::SingleShotConnection);
    view.show();
    return app.exec();
}
