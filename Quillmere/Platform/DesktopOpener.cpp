#include "Quillmere/Platform/DesktopOpener.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QPointer>
#include <QProcess>
#include <memory>

namespace quillmere {

DesktopOpener::DesktopOpener(QString program) : m_program(std::move(program))
{
}

void DesktopOpener::open(const QUrl &url, QObject *context, Done done) const
{
    // Owned by `context`: only xdg-open itself is stopped with it, the program it started is not.
    auto *process = new QProcess(context);
    process->setProgram(m_program);
    process->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded)});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    auto reported = std::make_shared<bool>(false);
    auto report = [process, reported, done](bool opened, const QString &why) {
        if (*reported)
            return;
        *reported = true;
        if (!opened)
            qCWarning(lcApp, "%s could not open it: %s", qPrintable(process->program()), qPrintable(why));
        process->deleteLater();
        if (done)
            done(opened);
    };
    // The context's end stops xdg-open, which reports on its way out: nobody is there to hear it.
    QObject::connect(context, &QObject::destroyed, process, [reported] { *reported = true; });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, report](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            report(false, process->errorString());
    });
    QObject::connect(process, &QProcess::finished, process, [report](int code, QProcess::ExitStatus status) {
        report(status == QProcess::NormalExit && code == 0,
               status == QProcess::NormalExit ? QStringLiteral("exit status %1").arg(code) : QStringLiteral("crashed"));
    });
    process->start();
}

} // namespace quillmere
