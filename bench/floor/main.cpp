// The floor of the start-up benchmark: the least a Qt Quick program does to show
// one window of the popover's size with one text, quitting after its first frame.

#include <QGuiApplication>
#include <QQuickView>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQuickView view;
    view.setSource(QUrl(QStringLiteral("qrc:/floor/Floor.qml")));
    QObject::connect(&view, &QQuickWindow::frameSwapped, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    view.show();
    return app.exec();
}
