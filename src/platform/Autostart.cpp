#include "Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace corvanta::autostart {

namespace {
// What every login session has on PATH, whatever the shell's start-up files add.
const QStringList sessionPath {
    QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin"), QStringLiteral("/bin")};

// Quoted as the desktop entry format wants an Exec argument, then escaped as one
// of its string values.
QString quoted(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    QString text = argument;
    if (std::any_of(text.cbegin(), text.cend(), [](QChar c) { return reserved.contains(c); })) {
        QString inner;
        for (const QChar c : text) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
                || c == QLatin1Char('\\'))
                inner += QLatin1Char('\\');
            inner += c;
        }
        text = QLatin1Char('"') + inner + QLatin1Char('"');
    }
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return text;
}

// The program an Exec value starts, unquoted.
QString firstArgument(const QString &exec)
{
    QString value = exec;
    value.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    if (!value.startsWith(QLatin1Char('"')))
        return value.section(QLatin1Char(' '), 0, 0);
    QString program;
    for (qsizetype i = 1; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size())
            program += value[++i];
        else if (value[i] == QLatin1Char('"'))
            break;
        else
            program += value[i];
    }
    return program;
}
} // namespace

QString filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/corvanta.desktop");
}

QString execLine(const QString &program)
{
    const QString canonical = QFileInfo(program).canonicalFilePath();
    if (canonical.isEmpty())
        return {};
    const QString found = QStandardPaths::findExecutable(QStringLiteral("corvanta"), sessionPath);
    if (!found.isEmpty() && QFileInfo(found).canonicalFilePath() == canonical)
        return QStringLiteral("corvanta --hidden");
    if (std::any_of(canonical.cbegin(), canonical.cend(),
            [](QChar c) { return c.category() == QChar::Other_Control; }))
        return {};
    return quoted(canonical) + QStringLiteral(" --hidden");
}

bool isEnabled(const QString &program)
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ours = false, off = false;
    for (const QByteArray &raw : file.read(64 * 1024).split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1String("Exec="))) {
            const QString exec = line.mid(5);
            ours = exec == execLine(program)
                || (QFileInfo(firstArgument(exec)).fileName() == QLatin1String("corvanta")
                    && exec.split(QLatin1Char(' ')).contains(QLatin1String("--hidden")));
        } else if (line == QLatin1String("Hidden=true")
            || line == QLatin1String("X-GNOME-Autostart-enabled=false")) {
            off = true;
        }
    }
    return ours && !off;
}

QString setEnabled(bool enabled, const QString &program)
{
    const QString path = filePath();
    if (!enabled) {
        // Someone else's entry of that name stays.
        if (isEnabled(program) && !QFile::remove(path))
            return QStringLiteral("could not remove %1").arg(path);
        return {};
    }
    const QString exec = execLine(program);
    if (exec.isEmpty())
        return QStringLiteral("the path of this program cannot go into a desktop entry");
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("could not write %1: %2").arg(path, file.errorString());
    file.write("[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Corvanta\n"
               "Comment=Corvanta in the tray from the start of the session\n"
               "Exec="
        + exec.toUtf8()
        + "\n"
          "Icon=corvanta\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n");
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (!file.commit())
        return QStringLiteral("could not write %1: %2").arg(path, file.errorString());
    return {};
}

} // namespace corvanta::autostart
