#pragma once

#include <QObject>
#include <QTcpServer>

class QTcpSocket;

namespace corvanta::devservice {

// The exit's own web page on port 80: tells each caller the address it came
// from, so a client can see its traffic really arrived through the tunnel.
// Bounded: 8 KiB of request, 5 seconds per connection, one answer, then close.
class EchoServer : public QObject
{
    Q_OBJECT

public:
    explicit EchoServer(QObject *parent = nullptr);
    bool listen(quint16 port);

private:
    void serve(QTcpSocket *socket);

    QTcpServer m_server;
};

// The hidden "--echo-server" mode, run by the exit node inside its namespace:
// serves until its standard input closes, which happens when the parent goes away.
int runEchoServer();

} // namespace corvanta::devservice
