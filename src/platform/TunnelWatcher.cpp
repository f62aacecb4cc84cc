#include "TunnelWatcher.h"

#include "PidProbe.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QNetworkInformation>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/syscall.h>
#include <unistd.h>

namespace corvanta {

TunnelWatcher::TunnelWatcher(QString pidFile, QObject *parent)
    : QObject(parent)
    , m_pidFile(std::move(pidFile))
    , m_settle(new QTimer(this))
{
    // A file rewritten in several steps, or a folder where much happens, makes one signal.
    m_settle->setSingleShot(true);
    m_settle->setInterval(100);
    QObject::connect(m_settle, &QTimer::timeout, this, [this] {
        if (m_armed)
            emit changed();
    });

    // Neither the system bus nor a network backend exists everywhere; without them
    // the file and the process are still watched.
    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"),
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"), m_settle, SLOT(start()));
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        QObject::connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, m_settle,
            qOverload<>(&QTimer::start));
    }
}

TunnelWatcher::~TunnelWatcher()
{
    closeProcess();
}

void TunnelWatcher::arm()
{
    m_armed = true;
    if (!m_files) {
        m_files = new QFileSystemWatcher(this);
        QObject::connect(m_files, &QFileSystemWatcher::fileChanged, m_settle, qOverload<>(&QTimer::start));
        QObject::connect(m_files, &QFileSystemWatcher::directoryChanged, m_settle, qOverload<>(&QTimer::start));
    }
    // The file is watched while it exists; its folder sees it come and go.
    if (!m_files->files().contains(m_pidFile) && QFileInfo::exists(m_pidFile))
        m_files->addPath(m_pidFile);
    const QString folder = QFileInfo(m_pidFile).absolutePath();
    if (!m_files->directories().contains(folder))
        m_files->addPath(folder);
    watchProcess();
}

void TunnelWatcher::disarm()
{
    m_armed = false;
    delete m_files;
    m_files = nullptr;
    closeProcess();
}

void TunnelWatcher::watchProcess()
{
    closeProcess();
    const std::optional<int> pid = readPidFile(m_pidFile);
    if (!pid || *pid <= 0)
        return;
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0));
    if (m_pidfd < 0)
        return; // already gone, or a kernel without pidfds: the file still tells
    m_process = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
    QObject::connect(m_process, &QSocketNotifier::activated, this, [this] {
        closeProcess(); // readable once the process has ended, and from then on
        m_settle->start();
    });
}

void TunnelWatcher::closeProcess()
{
    delete m_process;
    m_process = nullptr;
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    m_pidfd = -1;
}

} // namespace corvanta
