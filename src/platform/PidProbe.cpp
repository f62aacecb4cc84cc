#include "PidProbe.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanta {

namespace {
// A process id file is a few bytes; anything much larger is not one.
constexpr qsizetype maxPidFileSize = 4096;
} // namespace

std::optional<int> readPidFile(const QString &path)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes;
    struct stat st
    { };
    const bool trusted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
        && (st.st_uid == 0 || st.st_uid == ::getuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0
        && st.st_size <= maxPidFileSize;
    if (trusted) {
        bytes.resize(maxPidFileSize + 1);
        const ssize_t n = ::read(fd, bytes.data(), bytes.size());
        bytes.resize(n > 0 ? n : 0);
    }
    ::close(fd);
    if (!trusted || bytes.size() > maxPidFileSize)
        return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = QString(decoder(bytes)).trimmed();
    if (decoder.hasError())
        return std::nullopt;
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    if (!number.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const int pid = text.toInt(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

bool isTunnelProcess(int pid)
{
    if (pid <= 0)
        return false;
    const QByteArray proc = "/proc/" + QByteArray::number(pid);
    struct stat st
    { };
    if (::stat(proc.constData(), &st) != 0 || st.st_uid != 0)
        return false;
    QFile cmdline(QString::fromLatin1(proc + "/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return false;
    const QByteArray arguments = cmdline.read(4096);
    const QByteArray program = arguments.left(arguments.indexOf('\0'));
    return program.endsWith('/' + QByteArray(tunnelAgentName));
}

bool tunnelRunning(const QString &pidFile)
{
    const std::optional<int> pid = readPidFile(pidFile);
    return pid && isTunnelProcess(*pid);
}

} // namespace corvanta
