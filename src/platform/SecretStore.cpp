#include "SecretStore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QPointer>

#include <qt6keychain/keychain.h>

namespace corvanta {

namespace {

const QString secretServiceName = QStringLiteral("org.freedesktop.secrets");

// Whether there is a session bus to ask. Connecting without an address would have
// libdbus (and GLib, under QtKeychain) autolaunch a bus of their own.
bool sessionBusKnown()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

} // namespace

SecretStore::SecretStore(QString service, QString key, QObject *parent)
    : QObject(parent)
    , m_service(std::move(service))
    , m_key(std::move(key))
{ }

SecretStore::~SecretStore() = default;

void SecretStore::read(Answer answer)
{
    enqueue({Kind::read, QString(), std::move(answer)});
}

void SecretStore::write(const QString &secret, Answer answer)
{
    enqueue({Kind::write, secret, std::move(answer)});
}

void SecretStore::remove(Answer answer)
{
    enqueue({Kind::remove, QString(), std::move(answer)});
}

void SecretStore::enqueue(Operation operation)
{
    m_queue.enqueue(std::move(operation));
    startNext();
}

void SecretStore::startNext()
{
    if (m_running || m_queue.isEmpty())
        return;
    m_running = true;
    if (!sessionBusKnown() || !QDBusConnection::sessionBus().isConnected()) {
        QMetaObject::invokeMethod(
            this, [this] { finish(Result::unavailable); }, Qt::QueuedConnection);
        return;
    }
    // Asked each time: a keyring that starts or ends while we run is noticed.
    const QDBusPendingCall call = QDBusConnection::sessionBus().interface()->asyncCall(
        QStringLiteral("NameHasOwner"), secretServiceName);
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<bool> owned = *w;
        if (owned.isError() || !owned.value())
            finish(Result::unavailable);
        else
            startJob();
    });
}

void SecretStore::startJob()
{
    const Operation &operation = m_queue.head();
    // Parentless, deleting itself once finished: QtKeychain's callbacks into a job
    // that was deleted while running would touch freed memory.
    QKeychain::Job *job = nullptr;
    switch (operation.kind) {
    case Kind::read:
        job = new QKeychain::ReadPasswordJob(m_service);
        break;
    case Kind::write: {
        auto *write = new QKeychain::WritePasswordJob(m_service);
        write->setTextData(operation.secret);
        job = write;
        break;
    }
    case Kind::remove:
        job = new QKeychain::DeletePasswordJob(m_service);
        break;
    }
    job->setAutoDelete(true);
    job->setKey(m_key);
    QObject::connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job *finished) {
        switch (finished->error()) {
        case QKeychain::NoError: {
            const auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(finished);
            finish(Result::done, read ? read->textData() : QString());
            break;
        }
        case QKeychain::EntryNotFound:
            finish(Result::missing);
            break;
        default:
            finish(Result::unavailable);
            break;
        }
    });
    job->start();
}

void SecretStore::finish(Result result, const QString &secret)
{
    Operation operation = m_queue.dequeue();
    m_running = false;
    const QPointer<SecretStore> self(this);
    if (operation.answer)
        operation.answer(result, secret);
    if (self)
        startNext();
}

} // namespace corvanta
