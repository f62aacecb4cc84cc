#include "AppModel.h"

#include "Heartbeat.h"
#include "HttpClient.h"
#include "TunnelWatcher.h"

#include <QMetaEnum>

namespace corvanta {

namespace {
const QString apiVariable = QStringLiteral("CORVANTA_API");

QVariant optionalValue(const std::optional<QString> &text)
{
    return text ? QVariant(*text) : QVariant();
}
} // namespace

AppModel::AppModel(QObject *parent)
    : AppModel(Setup {}, parent)
{ }

AppModel::AppModel(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_defaults(std::make_unique<DefaultsStore>(setup.settingsFile))
    , m_keyring(setup.keyring ? setup.keyring() : nullptr)
    , m_timing(setup.timing)
    , m_paths(setup.paths)
    , m_openUrl(setup.openUrl)
    , m_exchanges(new QObject(this))
{
    m_watcher = new TunnelWatcher(m_paths.pidFile, this);
    QObject::connect(m_watcher, &TunnelWatcher::changed, this, &AppModel::refreshStatus);
    // Restore the session; nothing is sent and nothing is started here. A token in
    // the file counts at once; the keyring is asked from the event loop.
    m_token = m_defaults->value(tokenKey);
    m_email = m_defaults->value(emailKey);
    m_exitIP = m_defaults->value(exitKey);
    if (m_keyring)
        QMetaObject::invokeMethod(
            this, [this, session = m_session] { settleToken(session); }, Qt::QueuedConnection);
    // Taken verbatim: a set-but-empty variable gives an empty base, which makes
    // every request fail before anything is sent.
    m_base = qEnvironmentVariableIsSet(apiVariable.toLatin1().constData())
        ? qEnvironmentVariable(apiVariable.toLatin1().constData())
        : defaultBase;
}

AppModel::~AppModel()
{
    // Decodes still running end here, then replies still in flight, while the
    // model is whole.
    while (auto *wait = findChild<WorkerWait *>(QString(), Qt::FindDirectChildrenOnly)) {
        wait->finishNow();
        delete wait;
    }
    // Cancelled first, a heartbeat in flight ends with its reply; a waiting one wakes later, model gone.
    if (m_heartbeat)
        m_heartbeat->cancel();
    http::abandonAll(m_exchanges);
    delete m_exchanges;
}

namespace {
// Every assignment notifies, whether or not the value changed: views simply re-read.
template<class T, class Value>
void publish(AppModel *model, T &field, const Value &value, void (AppModel::*changed)())
{
    field = value;
    emit(model->*changed)();
}
} // namespace

void AppModel::setToken(const std::optional<QString> &token)
{
    publish(this, m_token, token, &AppModel::tokenChanged);
}
void AppModel::setEmail(const std::optional<QString> &email)
{
    publish(this, m_email, email, &AppModel::emailChanged);
}
void AppModel::setRegions(const QList<Region> &regions)
{
    publish(this, m_regions, regions, &AppModel::regionsChanged);
}
void AppModel::setSelected(const std::optional<Region> &region)
{
    publish(this, m_selected, region, &AppModel::selectedChanged);
}
void AppModel::setState(ConnState state)
{
    if (state == ConnState::connected)
        m_watcher->arm();
    else
        m_watcher->disarm();
    publish(this, m_state, state, &AppModel::stateChanged);
}
void AppModel::setExitIP(const std::optional<QString> &exitIP)
{
    publish(this, m_exitIP, exitIP, &AppModel::exitIPChanged);
}
void AppModel::setErrorMsg(const std::optional<QString> &text, const QString &source)
{
    m_errorSource = text ? source : QString();
    publish(this, m_errorMsg, text, &AppModel::errorMsgChanged);
}
void AppModel::setBusy(bool busy)
{
    publish(this, m_busy, busy, &AppModel::busyChanged);
}
void AppModel::setAccount(const std::optional<BillingAccount> &account)
{
    publish(this, m_account, account, &AppModel::accountChanged);
}

QString AppModel::stateName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<ConnState>().valueToKey(static_cast<int>(m_state)));
}

QVariant AppModel::tokenValue() const
{
    return optionalValue(m_token);
}
QVariant AppModel::emailValue() const
{
    return optionalValue(m_email);
}
QVariant AppModel::exitIPValue() const
{
    return optionalValue(m_exitIP);
}
QVariant AppModel::errorMsgValue() const
{
    return optionalValue(m_errorMsg);
}

QVariantList AppModel::regionsValue() const
{
    QVariantList list;
    list.reserve(m_regions.size());
    for (const Region &r : m_regions)
        list.append(QVariant::fromValue(r));
    return list;
}

QVariant AppModel::selectedValue() const
{
    return m_selected ? QVariant::fromValue(*m_selected) : QVariant();
}

void AppModel::setSelectedValue(const QVariant &value)
{
    setSelected(value.canConvert<Region>() ? std::optional(value.value<Region>()) : std::nullopt);
}

QVariant AppModel::accountValue() const
{
    return m_account ? QVariant::fromValue(*m_account) : QVariant();
}

QCoro::Task<> AppModel::loadRegions()
{
    if (m_loadingRegions)
        co_return;
    m_loadingRegions = true;
    m_regionsFailed = false;
    emit loadingRegionsChanged();
    QList<Region> list;
    bool loaded = true;
    try {
        list = co_await getDecodedElsewhere<QList<Region>>(QStringLiteral("/api/regions"));
    } catch (const ApiError &) {
        loaded = false;
    }
    m_loadingRegions = false;
    m_regionsFailed = !loaded;
    emit loadingRegionsChanged();
    if (!loaded) {
        // The cause is dropped on purpose: one fixed text, old list and choice kept.
        setErrorMsg(QStringLiteral("could not load regions"), QStringLiteral("locations"));
        co_return;
    }
    setRegions(list);
    if (!m_selected && !list.isEmpty()) {
        const std::optional<QString> last = m_defaults->value(regionKey);
        const auto lastOnline = std::find_if(list.cbegin(), list.cend(),
            [&](const Region &r) { return r.online() && last && r.id == *last; });
        const auto firstOnline
            = std::find_if(list.cbegin(), list.cend(), [](const Region &r) { return r.online(); });
        setSelected(lastOnline != list.cend() ? *lastOnline
                : firstOnline != list.cend()  ? *firstOnline
                                              : list.first());
    }
}

void AppModel::chooseRegion(const QVariant &region)
{
    setSelectedValue(region);
    if (m_selected)
        m_defaults->setValue(regionKey, m_selected->id);
}

} // namespace corvanta
