#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

namespace corvanta::test {

// A stand-in for a program the client runs (sudo, pkexec): it records each call's
// arguments and answers with the exit status, standard error and standard output
// it was given, optionally after a pause.
class FakeProgram
{
public:
    FakeProgram(const QString &folder, const QString &name)
        : m_path(QDir(folder).filePath(name))
    {
        QFile script(m_path);
        if (!script.open(QIODevice::WriteOnly))
            qFatal("FakeProgram: cannot write %s", qPrintable(m_path));
        script.write(R"SH(#!/bin/bash
me=$0
{ printf '%s\x1f' "$@"; printf '\n'; } >>"$me.calls"
[ -f "$me.sleep" ] && sleep "$(cat "$me.sleep")"
[ -f "$me.stdout" ] && cat "$me.stdout"
[ -f "$me.stderr" ] && cat "$me.stderr" >&2
exit "$(cat "$me.exit" 2>/dev/null || echo 0)"
)SH");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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
        if (!file.open(QIODevice::ReadOnly))
            return calls;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList args = QString::fromUtf8(line).split(QChar(0x1f));
            args.removeLast(); // every argument ends with the separator
            calls.append(args);
        }
        return calls;
    }

private:
    void write(const char *suffix, const QByteArray &content) const
    {
        QFile file(m_path + suffix);
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }

    QString m_path;
};

} // namespace corvanta::test
