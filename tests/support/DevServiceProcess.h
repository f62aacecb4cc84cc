#pragma once

#include <QProcess>
#include <QRegularExpression>

namespace corvanta::test {

// The real corvanta-devservice executable on a free loopback port.
class DevServiceProcess
{
public:
    ~DevServiceProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Starts the service; false when it exits or stays silent instead of printing its address.
    bool start(const QString &program, QStringList arguments = {})
    {
        m_process.start(program, QStringList {QStringLiteral("--port"), QStringLiteral("0")} + arguments);
        m_base = wait(QStringLiteral("listening on (http://127\\.0\\.0\\.1:\\d+)"), 10000);
        return !m_base.isEmpty();
    }
    const QString &base() const { return m_base; } // "http://127.0.0.1:<port>"

    // Everything printed so far (one line per request, among others).
    QString output()
    {
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_output;
    }

    // The demo account's bearer token, as printed at start.
    QString demoToken()
    {
        return wait(QStringLiteral("demo account: \\S+, password \\S+, token (\\S+)\\n"), 5000);
    }

private:
    QString wait(const QString &pattern, int timeoutMs)
    {
        const QRegularExpression expression(pattern);
        while (!expression.match(output()).hasMatch() && m_process.waitForReadyRead(timeoutMs)) { }
        return expression.match(output()).captured(1);
    }

    QProcess m_process;
    QString m_output;
    QString m_base;
};

} // namespace corvanta::test
