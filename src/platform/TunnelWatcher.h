#pragma once

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QSocketNotifier;
class QTimer;

namespace corvanta {

// Says when the tunnel may have come or gone, without polling: it watches the
// process-id file and its folder, the tunnel's process itself (a pidfd becomes
// readable when the process ends), the machine waking from sleep (logind) and
// the network changing. Whoever listens re-reads the state; a burst of events
// makes one signal.
class TunnelWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TunnelWatcher(QString pidFile, QObject *parent = nullptr);
    ~TunnelWatcher() override;

    // Watches while armed; re-arming also follows the process the file now names.
    void arm();
    void disarm();

signals:
    void changed();

private:
    void watchProcess();
    void closeProcess();

    QString m_pidFile;
    QFileSystemWatcher *m_files = nullptr;
    QSocketNotifier *m_process = nullptr;
    int m_pidfd = -1;
    QTimer *m_settle;
    bool m_armed = false;
};

} // namespace corvanta
