#include "RemoteCommands.h"

#include "Log.h"
#include "NextSignal.h"

#include <QCoroSignal>
#include <QJsonArray>
#include <QTimer>

namespace corvanta {

namespace {
using State = AppModel::ConnState;

QJsonObject regionJson(const Region &region)
{
    return {{QStringLiteral("id"), region.id}, {QStringLiteral("country"), region.country},
        {QStringLiteral("city"), region.city}, {QStringLiteral("online"), region.online()}};
}

void fail(const QPointer<Request> &request, const QString &text)
{
    if (request)
        request->answer({{QStringLiteral("ok"), false}, {QStringLiteral("error"), text}});
}

void succeed(const QPointer<Request> &request, QJsonObject reply)
{
    reply.insert(QStringLiteral("ok"), true);
    if (request)
        request->answer(reply);
}

QString place(const Region &region)
{
    return QStringLiteral("%1 (%2)").arg(region.city, region.id);
}
} // namespace

RemoteCommands::RemoteCommands(
    AppModel &model, std::function<diagnostics::ClientFacts()> facts, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_facts(std::move(facts))
{ }

QJsonObject RemoteCommands::status() const
{
    const auto &selected = m_model.selected();
    const auto &exit = m_model.exitIP();
    return {{QStringLiteral("state"), m_model.stateName()}, {QStringLiteral("signedIn"), m_model.isAuthed()},
        {QStringLiteral("location"), selected ? QJsonValue(regionJson(*selected)) : QJsonValue()},
        {QStringLiteral("exitAddress"), exit ? QJsonValue(*exit) : QJsonValue()}};
}

bool RemoteCommands::settled() const
{
    return m_model.state() != State::connecting && m_model.state() != State::provisioning && !m_model.busy();
}

void RemoteCommands::handle(Request *request)
{
    const QString command = request->command();
    // Whatever happens meanwhile, the command line gets an answer in time.
    const bool connecting = command == QLatin1String("connect");
    QTimer::singleShot(connecting ? connectLimit : otherLimit, request, [this, request, connecting] {
        fail(request,
            connecting
                ? QStringLiteral("not connected within %1 s (still %2); `corvanta disconnect` calls it off")
                      .arg(connectLimit.count())
                      .arg(m_model.stateName())
                : QStringLiteral("no result within %1 s").arg(otherLimit.count()));
    });
    if (command == QLatin1String("status"))
        succeed(request, status());
    else if (connecting)
        connectTo(request, request->body().value(QLatin1String("location")).toString());
    else if (command == QLatin1String("disconnect"))
        disconnectNow(request);
    else if (command == QLatin1String("locations"))
        listLocations(request);
    else if (command == QLatin1String("diagnostics"))
        succeed(request, {{QStringLiteral("report"), diagnostics::report(m_facts())}});
    else
        fail(request, QStringLiteral("unknown command \"%1\"").arg(command.left(40)));
}

QCoro::Task<bool> RemoteCommands::waitUntil(std::function<bool()> done, QDeadlineTimer deadline)
{
    while (!done()) {
        if (deadline.hasExpired())
            co_return false;
        SignalRelay relay;
        QObject::connect(&m_model, &AppModel::stateChanged, &relay, &SignalRelay::fired);
        QObject::connect(&m_model, &AppModel::busyChanged, &relay, &SignalRelay::fired);
        QObject::connect(&m_model, &AppModel::loadingRegionsChanged, &relay, &SignalRelay::fired);
        co_await qCoro(&relay, &SignalRelay::fired, std::chrono::milliseconds(deadline.remainingTime()));
    }
    co_return true;
}

QCoro::Task<bool> RemoteCommands::loadLocations(QDeadlineTimer deadline)
{
    if (!m_model.loadingRegions())
        m_model.startLoadRegions();
    const bool loaded = co_await waitUntil([this] { return !m_model.loadingRegions(); }, deadline);
    co_return loaded && !m_model.regionsFailed();
}

QCoro::Task<> RemoteCommands::listLocations(QPointer<Request> request)
{
    if (!co_await loadLocations(QDeadlineTimer(otherLimit))) {
        fail(request, QStringLiteral("could not load the locations"));
        co_return;
    }
    QJsonArray list;
    for (const Region &region : m_model.regions())
        list.append(regionJson(region));
    succeed(request, {{QStringLiteral("locations"), list}});
}

QCoro::Task<> RemoteCommands::connectTo(QPointer<Request> request, QString locationId)
{
    const QDeadlineTimer deadline(connectLimit);
    qCDebug(lcConnection) << "the command line asks to connect to"
                          << (locationId.isEmpty() ? "the chosen location" : locationId);
    if (!m_model.isAuthed()) {
        fail(request, QStringLiteral("not signed in: sign in from the corvanta window first"));
        co_return;
    }
    const auto find = [this](const QString &id) -> std::optional<Region> {
        for (const Region &region : m_model.regions()) {
            if (region.id == id)
                return region;
        }
        return std::nullopt;
    };
    if (!locationId.isEmpty()) {
        std::optional<Region> wanted = find(locationId);
        if (!wanted) { // perhaps new since the list was loaded
            if (!co_await loadLocations(deadline)) {
                fail(request, QStringLiteral("could not load the locations"));
                co_return;
            }
            wanted = find(locationId);
        }
        if (!wanted) {
            fail(request, QStringLiteral("unknown location \"%1\" (see corvanta locations)").arg(locationId));
            co_return;
        }
        if (!wanted->online()) {
            fail(request, QStringLiteral("%1 is not available now").arg(place(*wanted)));
            co_return;
        }
        const auto &selected = m_model.selected();
        if (!selected || selected->id != wanted->id) {
            // As in the window: the place is chosen while nothing is connected.
            if (!settled() || m_model.state() == State::connected) {
                fail(request,
                    QStringLiteral("%1 to %2: disconnect first")
                        .arg(m_model.state() == State::connected ? QStringLiteral("connected")
                                                                 : QStringLiteral("connecting"),
                            selected ? place(*selected) : QStringLiteral("another location")));
                co_return;
            }
            m_model.chooseRegion(QVariant::fromValue(*wanted));
        }
    } else if (!m_model.selected()) {
        co_await loadLocations(deadline); // chooses one
    }
    if (!m_model.selected()) {
        fail(request, QStringLiteral("no location chosen: name one (see corvanta locations)"));
        co_return;
    }
    if (!m_model.selected()->online()) {
        fail(request, QStringLiteral("%1 is not available now").arg(place(*m_model.selected())));
        co_return;
    }

    // A connect already on its way is joined; otherwise one is started.
    const bool joined = !settled();
    if (!co_await waitUntil([this] { return settled(); }, deadline))
        co_return;
    if (!joined && m_model.state() != State::connected) {
        m_model.connect();
        if (!co_await waitUntil([this] { return settled(); }, deadline))
            co_return;
    }
    switch (m_model.state()) {
    case State::connected:
        succeed(request, status());
        break;
    case State::failed:
        fail(request, m_model.errorMsg().value_or(QStringLiteral("could not connect")));
        break;
    default:
        fail(request, QStringLiteral("the connection was called off"));
    }
}

QCoro::Task<> RemoteCommands::disconnectNow(QPointer<Request> request)
{
    if (m_model.connectCancellable())
        m_model.cancelConnect();
    // A tunnel that is being made runs to its end first.
    if (!co_await waitUntil([this] { return settled(); }, QDeadlineTimer(otherLimit)))
        co_return;
    if (m_model.state() == State::connected)
        co_await m_model.disconnect();
    succeed(request, status());
}

} // namespace corvanta
