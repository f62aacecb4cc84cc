#include "Log.h"

#include <QDateTime>
#include <QHash>

#include <deque>
#include <mutex>

Q_LOGGING_CATEGORY(lcRequests, "corvanta.requests", QtWarningMsg)
Q_LOGGING_CATEGORY(lcConnection, "corvanta.connection", QtWarningMsg)
Q_LOGGING_CATEGORY(lcSignIn, "corvanta.signin", QtWarningMsg)
Q_LOGGING_CATEGORY(lcSocket, "corvanta.socket", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTray, "corvanta.tray", QtWarningMsg)

namespace corvanta::log {

namespace {
constexpr qsizetype maxLineText = 1000;

// Messages come from any thread; the filter runs under Qt's own lock.
std::mutex mutex;
std::deque<QString> lines;
QtMessageHandler previousHandler = nullptr;
QLoggingCategory::CategoryFilter previousFilter = nullptr;
// What the logging rules print of our categories' debug and info lines.
struct Printed
{
    bool debug = false;
    bool info = false;
};
QHash<QByteArray, Printed> printed;

bool isOurs(const char *category)
{
    return category && qstrncmp(category, "corvanta.", 9) == 0;
}

void filter(QLoggingCategory *category)
{
    previousFilter(category);
    if (!isOurs(category->categoryName()))
        return;
    {
        const std::lock_guard lock(mutex);
        printed.insert(
            category->categoryName(), {category->isEnabled(QtDebugMsg), category->isEnabled(QtInfoMsg)});
    }
    // Kept in memory whatever the rules say; the handler decides what is printed.
    category->setEnabled(QtDebugMsg, true);
    category->setEnabled(QtInfoMsg, true);
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QString line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) + QLatin1Char(' ')
        + QString::fromLatin1(context.category ? context.category : "default") + QLatin1Char(' ')
        + QLatin1String(levelName(type)) + QStringLiteral(": ")
        + (text.size() > maxLineText ? text.left(maxLineText) + QStringLiteral("…") : text);
    line.replace(QLatin1Char('\n'), QStringLiteral(" / "));
    bool print = true;
    {
        const std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
        if (lines.size() > size_t(keptLines))
            lines.pop_front();
        if ((type == QtDebugMsg || type == QtInfoMsg) && isOurs(context.category)) {
            const Printed rules = printed.value(context.category);
            print = type == QtDebugMsg ? rules.debug : rules.info;
        }
    }
    if (print && previousHandler)
        previousHandler(type, context, text);
}
} // namespace

void install()
{
    previousHandler = qInstallMessageHandler(handle);
    previousFilter = QLoggingCategory::installFilter(filter);
}

QStringList recentLines()
{
    const std::lock_guard lock(mutex);
    return QStringList(lines.cbegin(), lines.cend());
}

} // namespace corvanta::log
