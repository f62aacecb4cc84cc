#include "ExitNode.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace corvanta::devservice {

namespace {
// Traffic from the mesh leaves the exit through the veth under the exit's address.
QByteArray masquerade(const QString &exitLink)
{
    return QStringLiteral("table ip cvexit {\n"
                          "  chain postrouting {\n"
                          "    type nat hook postrouting priority srcnat; policy accept;\n"
                          "    ip saddr %1 oifname \"%2\" masquerade\n"
                          "  }\n"
                          "}\n")
        .arg(ExitNode::meshPrefix, exitLink)
        .toUtf8();
}

QString lastLine(const QByteArray &text)
{
    return QString::fromUtf8(text.trimmed().split('\n').last());
}
} // namespace

ExitNode::ExitNode()
{
    // Link names must fit in 15 characters: "cvh" and a pid of at most 7 digits do.
    const QString pid = QString::number(QCoreApplication::applicationPid());
    m_namespace = QStringLiteral("cvexit-") + pid;
    m_hostLink = QStringLiteral("cvh") + pid;
    m_exitLink = QStringLiteral("cvx") + pid;
    m_wireGuardLink = QStringLiteral("cvw") + pid;
}

bool ExitNode::setUp()
{
    QByteArray privateKey;
    const bool ok = addressIsFree()
        && step({"ip", "netns", "add", m_namespace}, {"ip", "netns", "del", m_namespace})
        && step({"ip", "link", "add", m_hostLink, "type", "veth", "peer", "name", m_exitLink, "netns",
                    m_namespace},
            {"ip", "link", "del", m_hostLink})
        && run({"ip", "addr", "add", hostAddress + "/30", "dev", m_hostLink})
        && run({"ip", "link", "set", m_hostLink, "up"}) //
        && run(inExit({"ip", "link", "set", "lo", "up"}))
        // An address that only exists behind the exit, for full-tunnel checks.
        && run(inExit({"ip", "addr", "add", "198.18.0.1/32", "dev", "lo"}))
        && run(inExit({"ip", "addr", "add", exitAddress + "/30", "dev", m_exitLink}))
        && run(inExit({"ip", "link", "set", m_exitLink, "up"}))
        && run(inExit({"ip", "route", "add", "default", "via", hostAddress}))
        && run(inExit({"sysctl", "-q", "-w", "net.ipv4.ip_forward=1"}))
        && run(inExit({"nft", "-f", "-"}), masquerade(m_exitLink)) //
        && makeKeys(privateKey) //
        && startWireGuard()
        // The private key goes in through a pipe: never in argv, never in a file.
        && run(inExit({"wg", "set", m_wireGuardLink, "private-key", "/dev/stdin", "listen-port",
                   QString::number(wireGuardPort)}),
            privateKey)
        && run(inExit({"ip", "addr", "add", exitMeshIp + "/24", "dev", m_wireGuardLink}))
        && run(inExit({"ip", "link", "set", m_wireGuardLink, "up"})) //
        && startEcho();
    privateKey.fill('\0');
    if (!ok)
        tearDown();
    return ok;
}

void ExitNode::tearDown()
{
    const QString error = m_error; // a failed setUp() reports its own cause, not the cleanup's
    while (!m_undo.empty()) {
        m_undo.back()();
        m_undo.pop_back();
    }
    m_error = error;
}

bool ExitNode::addPeer(const QString &publicKey, const QString &meshIp)
{
    return run(inExit({"wg", "set", m_wireGuardLink, "peer", publicKey, "allowed-ips", meshIp + "/32"}));
}

void ExitNode::removePeer(const QString &publicKey)
{
    if (!run(inExit({"wg", "set", m_wireGuardLink, "peer", publicKey, "remove"})))
        std::fprintf(stderr, "corvanta-devservice: %s\n", qPrintable(m_error));
}

bool ExitNode::addressIsFree()
{
    // Another exit (or anything else) on our underlay would take our packets.
    QByteArray taken;
    if (!run({"ip", "-br", "-4", "addr", "show", "to", hostAddress + "/30"}, {}, &taken))
        return false;
    if (taken.isEmpty())
        return true;
    m_error
        = QStringLiteral("%1/30 is already in use here (%2)").arg(hostAddress, lastLine(taken).simplified());
    return false;
}

bool ExitNode::makeKeys(QByteArray &privateKey)
{
    QByteArray publicKey;
    if (!run({"wg", "genkey"}, {}, &privateKey) || !run({"wg", "pubkey"}, privateKey, &publicKey))
        return false;
    m_publicKey = QString::fromLatin1(publicKey);
    return true;
}

bool ExitNode::startWireGuard()
{
    const QString socket = QStringLiteral("/var/run/wireguard/%1.sock").arg(m_wireGuardLink);
    if (QFileInfo::exists(socket)) {
        m_error = socket + QStringLiteral(" already exists: another wireguard-go has our interface name");
        return false;
    }
    m_wireGuard.setProcessChannelMode(QProcess::MergedChannels);
    if (!startDaemon(m_wireGuard, inExit({"wireguard-go", "-f", m_wireGuardLink})))
        return false;
    m_undo.push_back([this, socket] {
        // Stopping it closes the tunnel device, which takes the interface and its peers along.
        stopDaemon(m_wireGuard);
        QFile::remove(socket);
    });
    // It is ready once its control socket is there.
    for (int i = 0; i < 50 && !QFileInfo::exists(socket); ++i) {
        if (m_wireGuard.waitForFinished(100))
            break;
    }
    if (!QFileInfo::exists(socket) || m_wireGuard.state() != QProcess::Running) {
        m_error = QStringLiteral("wireguard-go did not bring up %1: %2")
                      .arg(m_wireGuardLink, lastLine(m_wireGuard.readAll()));
        return false;
    }
    // Its log is of no use to us from here on; keep the pipe from filling up.
    QObject::connect(&m_wireGuard, &QProcess::readyRead, [this] { m_wireGuard.readAll(); });
    return true;
}

bool ExitNode::startEcho()
{
    m_echo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!startDaemon(m_echo, inExit({QCoreApplication::applicationFilePath(), "--echo-server"})))
        return false;
    m_undo.push_back([this] { stopDaemon(m_echo); });
    // It says "ready" once it listens.
    while (!m_echo.canReadLine() && m_echo.waitForReadyRead(5000)) { }
    if (m_echo.readLine().trimmed() != "ready") {
        m_error = QStringLiteral("the echo page in %1 did not start").arg(m_namespace);
        return false;
    }
    return true;
}

bool ExitNode::startDaemon(QProcess &process, const QStringList &command)
{
    process.setChildProcessModifier([] {
        // Out of our process group, so a Ctrl-C reaches only us and the teardown
        // stops it in order; and gone with us should we be killed outright.
        // (ip netns exec replaces itself with the command, which keeps both.)
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted(5000)) {
        m_error
            = QStringLiteral("cannot run %1: %2").arg(command.join(QLatin1Char(' ')), process.errorString());
        return false;
    }
    return true;
}

void ExitNode::stopDaemon(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool ExitNode::run(const QStringList &command, const QByteArray &input, QByteArray *output)
{
    QProcess process;
    process.start(command.first(), command.mid(1));
    const QString shown = command.join(QLatin1Char(' '));
    if (!process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot run %1: %2").arg(shown, process.errorString());
        return false;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(3000);
        m_error = QStringLiteral("%1 took too long").arg(shown);
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2").arg(shown, lastLine(process.readAllStandardError()));
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput().trimmed();
    return true;
}

bool ExitNode::step(const QStringList &command, const QStringList &undo)
{
    if (!run(command))
        return false;
    m_undo.push_back([this, undo] {
        if (!run(undo))
            std::fprintf(stderr, "corvanta-devservice: cleanup: %s\n", qPrintable(m_error));
    });
    return true;
}

QStringList ExitNode::inExit(const QStringList &command) const
{
    return QStringList {"ip", "netns", "exec", m_namespace} + command;
}

} // namespace corvanta::devservice
