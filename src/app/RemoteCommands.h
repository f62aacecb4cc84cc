#pragma once

#include "AppModel.h"
#include "Diagnostics.h"
#include "SingleInstance.h"

#include <QCoroTask>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>

namespace corvanta {

// Carries out what `corvanta status`, `connect`, `disconnect`, `locations` and
// `diagnostics` ask of the running client, on its one model, and answers each.
class RemoteCommands : public QObject
{
    Q_OBJECT

public:
    // The longest a command waits before it answers: a connect waits for the
    // server and the tunnel, the others at most for the service.
    static constexpr std::chrono::seconds connectLimit {90};
    static constexpr std::chrono::seconds otherLimit {30};

    RemoteCommands(
        AppModel &model, std::function<diagnostics::ClientFacts()> facts, QObject *parent = nullptr);

    void handle(Request *request);

    // The state, the place and the exit address, as `status` answers them.
    QJsonObject status() const;

private:
    QCoro::Task<> connectTo(QPointer<Request> request, QString locationId);
    QCoro::Task<> disconnectNow(QPointer<Request> request);
    QCoro::Task<> listLocations(QPointer<Request> request);
    // (Re)loads the locations list; false when it could not be loaded in time.
    QCoro::Task<bool> loadLocations(QDeadlineTimer deadline);
    // Waits until `done` holds, looking again whenever the model's state, busy
    // flag or list loading changes; false once the deadline passed.
    QCoro::Task<bool> waitUntil(std::function<bool()> done, QDeadlineTimer deadline);
    bool settled() const;

    AppModel &m_model;
    std::function<diagnostics::ClientFacts()> m_facts;
};

} // namespace corvanta
