#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>

namespace corvanta::test {

// A stand-in for a program the client runs (sudo, pkexec): records each call's arguments and
// answers with the exit status, standard error and output it was given, after a pause if asked.
class FakeProgram
{
public:
    FakeProgram(const QString &folder, const QString &name)
        : m_path(QDir(folder).filePath(name))
    {
        write("", R"SH(#!/bin/bash
{ printf '%s\x1f' "$@"; printf '\n'; } >>"$0.calls"
[ -f "$0.sleep" ] && sleep "$(cat "$0.sleep")"
[ -f "$0.stdout" ] && cat "$0.stdout"
[ -f "$0.stderr" ] && cat "$0.stderr" >&2
exit "$(cat "$0.exit" 2>/dev/null || echo 0)"
)SH");
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    const QString &path() const { return m_path; }

    void answer(int exitStatus, const QByteArray &standardError = {}, const QByteArray &standardOutput = {},
        double pauseSeconds = 0) const
    {
        write(".exit", QByteArray::number(exitStatus));
        write(".stderr", standardError);
        write(".stdout", standardOutput);
        write(".sleep", QByteArray::number(pauseSeconds));
    }

    // The arguments of every call so far, oldest first.
    QList<QStringList> calls() const
    {
        QFile file(m_path + ".calls");
        QList<QStringList> calls;
        for (const QByteArray &line :
            file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QByteArrayList()) {
            QStringList args = QString::fromUtf8(line).split(QChar(0x1f));
            args.removeLast(); // every argument ends with the separator
            if (!line.isEmpty())
                calls.append(args);
        }
        return calls;
    }

private:
    void write(const char *suffix, const QByteArray &content) const
    {
        QFile file(m_path + suffix);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("FakeProgram: cannot write %s%s", qPrintable(m_path), suffix);
    }

    QString m_path;
};

} // namespace corvanta::test
