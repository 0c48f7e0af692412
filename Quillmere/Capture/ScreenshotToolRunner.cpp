#include "Quillmere/Capture/ScreenshotToolRunner.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

namespace quillmere {

struct ScreenshotToolRunner::Run {
    std::unique_ptr<QProcess> process;
    std::unique_ptr<QTemporaryDir> folder;
    QString file;
    bool interactive = false;
    bool timedOut = false;
    std::unique_ptr<QTimer> deadline;
    Completion completion;
};

QString defaultScreenshotToolProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/quillmere-screenshot");
}

ScreenshotToolRunner::ScreenshotToolRunner(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
}

ScreenshotToolRunner::~ScreenshotToolRunner()
{
    // No overlay may outlive the program that asked for it.
    for (auto &[id, run] : m_runs) {
        run->process->disconnect(this);
        run->process->kill();
        run->process->waitForFinished(1000);
    }
}

bool ScreenshotToolRunner::isSelecting() const
{
    for (const auto &[id, run] : m_runs)
        if (run->interactive)
            return true;
    return false;
}

ScreenshotToolRunner::LaunchResult ScreenshotToolRunner::capture(bool interactive, Completion completion)
{
    if (isSelecting())
        return {Launch::refusedWhileSelecting, {}};

    auto run = std::make_unique<Run>();
    run->interactive = interactive;
    run->completion = std::move(completion);
    run->folder = std::make_unique<QTemporaryDir>(m_options.temporaryRoot + QLatin1Char('/') + filePrefix
                                                  + QStringLiteral("XXXXXX"));
    if (!run->folder->isValid())
        return {Launch::failed,
                QStringLiteral("no private folder for the screenshot: %1").arg(run->folder->errorString())};
    run->file = run->folder->filePath(filePrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()
                                      + QStringLiteral(".png"));

    QStringList arguments;
    if (interactive)
        arguments << QStringLiteral("-i");
    arguments << run->file;
    run->process = std::make_unique<QProcess>();
    run->process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run->process->setStandardOutputFile(QProcess::nullDevice());
    run->process->start(m_options.program, arguments);
    if (!run->process->waitForStarted(5000)) {
        const QString error = run->process->errorString();
        run->process->kill();
        run->process->waitForFinished(1000);
        return {Launch::failed, error};
    }

    const quint64 id = m_nextID++;
    connect(run->process.get(), &QProcess::finished, this, [this, id] { finishRun(id); });
    run->deadline = std::make_unique<QTimer>();
    run->deadline->setSingleShot(true);
    connect(run->deadline.get(), &QTimer::timeout, this, [this, id] {
        auto it = m_runs.find(id);
        if (it == m_runs.end())
            return;
        qCWarning(lcScreenshotCapture, "The screenshot tool did not finish in time; ending it");
        it->second->timedOut = true;
        it->second->process->kill();
    });
    run->deadline->start(interactive ? m_options.interactiveTimeoutMs : m_options.fullScreenTimeoutMs);
    m_runs.emplace(id, std::move(run));
    return {Launch::started, {}};
}

void ScreenshotToolRunner::finishRun(quint64 id)
{
    auto it = m_runs.find(id);
    if (it == m_runs.end())
        return;
    std::unique_ptr<Run> run = std::move(it->second);
    m_runs.erase(it);
    run->deadline->stop();
    // The process object is inside its own signal: let the event loop delete it.
    run->process.release()->deleteLater();

    std::optional<QByteArray> data;
    if (!run->timedOut) {
        QFile file(run->file);
        if (file.open(QIODevice::ReadOnly) && file.size() <= maxFileBytes) {
            QByteArray bytes = file.readAll();
            if (!bytes.isEmpty())
                data = std::move(bytes);
        }
    }
    // The folder and whatever the tool left in it go now, before anyone looks at the bytes.
    run->folder.reset();
    if (run->completion)
        run->completion(std::move(data));
}

} // namespace quillmere
