#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

namespace quillmere::test {

// Collects every log line written while it lives.
class LogCapture {
public:
    LogCapture()
    {
        m_previous = qInstallMessageHandler(&LogCapture::handler);
        current() = this;
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const QStringList &lines() const { return m_lines; }
    QString all() const { return m_lines.join(QLatin1Char('\n')); }

private:
    static LogCapture *&current()
    {
        static LogCapture *instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (LogCapture *self = current())
            self->m_lines << QString::fromUtf8(context.category ? context.category : "") + QLatin1String(": ")
                    + message;
    }

    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

// A tool the tests cannot do without. CI installs every one, so a missing tool is a failure.
inline QString requiredTool(const QString &path)
{
    if (!QFile::exists(path))
        ADD_FAILURE() << "missing test tool " << path.toStdString() << " (tools/setup installs it)";
    return path;
}

} // namespace quillmere::test
