#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace corvanta::test {

// Runs the real corvanta-devservice executable on a free loopback port.
class DevServiceProcess
{
public:
    ~DevServiceProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Starts the service and waits until it prints its address; returns false when
    // it exits or stays silent instead.
    bool start(const QString &program, QStringList arguments = {})
    {
        m_process.start(program, QStringList {QStringLiteral("--port"), QStringLiteral("0")} + arguments);
        static const QRegularExpression listening(
            QStringLiteral("listening on (http://127\\.0\\.0\\.1:\\d+)"));
        while (m_process.waitForReadyRead(10000)) {
            m_output += QString::fromUtf8(m_process.readAllStandardOutput());
            const auto match = listening.match(m_output);
            if (match.hasMatch()) {
                m_base = match.captured(1);
                return true;
            }
        }
        return false;
    }

    // "http://127.0.0.1:<port>"
    const QString &base() const { return m_base; }

    // Everything printed so far (one line per request, among others).
    QString output()
    {
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_output;
    }

    // The demo account's bearer token, as printed at start.
    QString demoToken()
    {
        static const QRegularExpression token(
            QStringLiteral("demo account: \\S+, password \\S+, token (\\S+)\\n"));
        while (!token.match(output()).hasMatch() && m_process.waitForReadyRead(5000)) { }
        return token.match(output()).captured(1);
    }

private:
    QProcess m_process;
    QString m_output;
    QString m_base;
};

} // namespace corvanta::test
