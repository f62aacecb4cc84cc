#include "DefaultsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanta {

namespace {

// Creates the file if needed and tightens its mode, so that QSettings (which keeps
// the mode of an existing file when it rewrites it) never leaves it readable by others.
void ensurePrivateFile(const QString &path)
{
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0700);

    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

} // namespace

QString DefaultsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/corvanta/corvanta.conf");
}

DefaultsStore::DefaultsStore(const QString &filePath)
{
    ensurePrivateFile(filePath);
    m_settings = std::make_unique<QSettings>(filePath, QSettings::IniFormat);
}

DefaultsStore::~DefaultsStore() = default;

QString DefaultsStore::filePath() const
{
    return m_settings->fileName();
}

std::optional<QString> DefaultsStore::value(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

void DefaultsStore::setValue(const QString &key, const QString &value)
{
    m_settings->setValue(key, value);
    sync();
}

void DefaultsStore::remove(const QString &key)
{
    m_settings->remove(key);
    sync();
}

void DefaultsStore::sync()
{
    ensurePrivateFile(filePath());
    m_settings->sync();
    ::chmod(QFile::encodeName(filePath()).constData(), 0600);
}

} // namespace corvanta
