#include "Diagnostics.h"

#include "Log.h"
#include "Paths.h"
#include "PidProbe.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QRegularExpression>

namespace corvanta::diagnostics {

namespace {
// A bus that does not answer at once must not hold up the window.
constexpr int busTimeoutMs = 1000;

// Asks the session bus's own service; nullopt without a bus or an answer.
std::optional<QVariant> askBus(const QString &method, const QVariantList &arguments = {})
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"), method);
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, busTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().constFirst();
}

QString keyring()
{
    const QString secrets = QStringLiteral("org.freedesktop.secrets");
    const auto owner = askBus(QStringLiteral("NameHasOwner"), {secrets});
    if (!owner)
        return QStringLiteral("unknown (no session bus)");
    if (owner->toBool())
        return QStringLiteral("available (%1 has an owner)").arg(secrets);
    const auto activatable = askBus(QStringLiteral("ListActivatableNames"));
    return activatable && activatable->toStringList().contains(secrets)
        ? QStringLiteral("not running, can be started (%1)").arg(secrets)
        : QStringLiteral("none (no owner for %1)").arg(secrets);
}

QString busTray()
{
    const auto watcher
        = askBus(QStringLiteral("NameHasOwner"), {QStringLiteral("org.kde.StatusNotifierWatcher")});
    if (!watcher)
        return QStringLiteral("unknown (no session bus)");
    return watcher->toBool()
        ? QStringLiteral("a status notifier host is on the session bus")
        : QStringLiteral("no status notifier host on the session bus (an X11 tray may still be there)");
}

QString orUnset(const char *variable)
{
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? QStringLiteral("(unset)") : value;
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}
} // namespace

QString version()
{
    return QStringLiteral(CORVANTA_VERSION);
}

QJsonObject report(const std::optional<ClientFacts> &client)
{
    QJsonObject report {
        {QStringLiteral("version"), version()},
        {QStringLiteral("qt"), QString::fromLatin1(qVersion())},
        {QStringLiteral("desktop"), orUnset("XDG_CURRENT_DESKTOP")},
        {QStringLiteral("sessionType"), orUnset("XDG_SESSION_TYPE")},
        {QStringLiteral("keyring"), keyring()},
        {QStringLiteral("running"), client.has_value()},
        {QStringLiteral("tunnel"),
            tunnelRunning(Paths().pidFile) ? QStringLiteral("up") : QStringLiteral("down")},
    };
    if (client) {
        report.insert(QStringLiteral("tray"),
            client->trayShown           ? QStringLiteral("icon shown")
                : client->trayAvailable ? QStringLiteral("available, icon not shown")
                                        : QStringLiteral("none (the window stands in)"));
        report.insert(QStringLiteral("state"), client->state);
        report.insert(QStringLiteral("signedIn"), client->signedIn);
        report.insert(QStringLiteral("window"),
            client->windowShown ? QStringLiteral("shown") : QStringLiteral("hidden"));
    } else {
        report.insert(QStringLiteral("tray"), busTray());
    }
    QJsonArray lines;
    for (const QString &line : log::recentLines())
        lines.append(line);
    report.insert(QStringLiteral("log"), lines);

    // Each text on its own, so that the JSON form is as clean as the text one.
    for (auto it = report.begin(); it != report.end(); ++it) {
        if (it->isString()) {
            *it = redact(it->toString());
        } else if (it->isArray()) {
            QJsonArray texts = it->toArray();
            for (auto text = texts.begin(); text != texts.end(); ++text)
                *text = redact(text->toString());
            *it = texts;
        }
    }
    return report;
}

QString text(const QJsonObject &report)
{
    const auto field = [&](const char *key) { return report.value(QLatin1String(key)).toString(); };
    const bool running = report.value(QLatin1String("running")).toBool();
    QString text = QStringLiteral("corvanta diagnostics\n");
    text += QStringLiteral("Version:    %1 (Qt %2)\n").arg(field("version"), field("qt"));
    text += QStringLiteral("Desktop:    %1, session %2\n").arg(field("desktop"), field("sessionType"));
    text += QStringLiteral("Tray:       %1\n").arg(field("tray"));
    text += QStringLiteral("Keyring:    %1\n").arg(field("keyring"));
    if (running) {
        text += QStringLiteral("Connection: %1 (tunnel %2)\n").arg(field("state"), field("tunnel"));
        text += QStringLiteral("Signed in:  %1\n")
                    .arg(yesNo(report.value(QLatin1String("signedIn")).toBool()));
        text += QStringLiteral("Window:     %1\n").arg(field("window"));
    } else {
        text += QStringLiteral("Client:     not running (tunnel %1)\n").arg(field("tunnel"));
    }
    const QJsonArray lines = report.value(QLatin1String("log")).toArray();
    text += QStringLiteral("Recent log (%1 lines):\n").arg(lines.size());
    for (const QJsonValue &line : lines)
        text += QStringLiteral("  ") + line.toString() + QLatin1Char('\n');
    return redact(text);
}

QString redact(QString text)
{
    static const QString hidden = QStringLiteral("[redacted]");
    static const QString secretNames = QStringLiteral(
        "token|access_token|refresh_token|id_token|code|code_verifier|code_challenge|verifier|state|"
        "joinCode|join_code|password|secret|publicKey|public_key|privateKey|private_key");
    static const QList<QPair<QRegularExpression, QString>> rules {
        // Authorization: Bearer ...
        {QRegularExpression(
             QStringLiteral("\\b(Bearer)\\s+[^\\s\"',;]+"), QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("\\1 ") + hidden},
        // "token": "...", also as escaped JSON inside a text.
        {QRegularExpression(
             QStringLiteral("(\\\\?\"(?:%1)\\\\?\"\\s*:\\s*)(\\\\?\")(?:[^\"\\\\]|\\\\[^\"])*\\\\?\"")
                 .arg(secretNames),
             QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("\\1\\2") + hidden + QStringLiteral("\\2")},
        {QRegularExpression(
             QStringLiteral("(\\\\?\"(?:%1)\\\\?\"\\s*:\\s*)(?![\\\\\"\\[{])[^\\s,}\\]]+").arg(secretNames),
             QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("\\1") + hidden}, // and as a number or a bare word
        // code=... in addresses, key=... anywhere.
        {QRegularExpression(QStringLiteral("\\b(%1)=[^&\\s\"',;]*").arg(secretNames),
             QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("\\1=") + hidden},
        // E-mail addresses.
        {QRegularExpression(QStringLiteral("[\\w.%+-]+@[\\w-]+(?:\\.[\\w-]+)+")), QStringLiteral("[e-mail]")},
        // WireGuard keys: 32 bytes in base64.
        {QRegularExpression(QStringLiteral("(?<![A-Za-z0-9+/])[A-Za-z0-9+/]{42}[AEIMQUYcgkosw048]=")),
            hidden},
        // Anything else long and opaque: tokens, codes and session ids on their own.
        {QRegularExpression(QStringLiteral("(?<![\\w/.-])[A-Za-z0-9_-]{24,}(?![\\w/.-])")), hidden},
    };
    for (const auto &[pattern, replacement] : rules)
        text.replace(pattern, replacement);
    return text;
}

} // namespace corvanta::diagnostics
