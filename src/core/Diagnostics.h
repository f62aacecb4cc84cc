#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace corvanta::diagnostics {

// The client's version, as the build gave it.
QString version();

// What only the running client knows.
struct ClientFacts
{
    QString state; // the model's state name
    bool signedIn = false;
    bool trayAvailable = false;
    bool trayShown = false;
    bool windowShown = false;
};

// The report for support: version, Qt, desktop, tray, keyring, connection and the
// recent log lines, the client's facts when it runs. Every text in it is redacted.
QJsonObject report(const std::optional<ClientFacts> &client);

// The report as text for people, redacted as a whole.
QString text(const QJsonObject &report);

// Takes out what must not leave the machine: bearer tokens, codes, verifiers,
// states, join codes, passwords and keys (as URL parameters, key=value or JSON
// members), e-mail addresses, WireGuard keys and other long opaque strings.
QString redact(QString text);

} // namespace corvanta::diagnostics
