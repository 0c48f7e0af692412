#include "Quillmere/Capture/ScreenshotToolRunner.h"

#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QStorageInfo>
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
    Failure failure;
    // The end of what the tool wrote on its error channel.
    QByteArray message;
};

namespace {

constexpr qsizetype maxToolMessageBytes = 4096;
const QByteArray toolPrefix("quillmere-screenshot: ");

} // namespace

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

ScreenshotToolRunner::LaunchResult ScreenshotToolRunner::capture(bool interactive, Completion completion,
                                                                 Failure failure)
{
    if (isSelecting())
        return {Launch::refusedWhileSelecting, {}};

    auto run = std::make_unique<Run>();
    run->interactive = interactive;
    run->completion = std::move(completion);
    run->failure = std::move(failure);
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
    run->process->setStandardOutputFile(QProcess::nullDevice());
    run->process->start(m_options.program, arguments);
    if (!run->process->waitForStarted(5000)) {
        const QString error = run->process->errorString();
        run->process->kill();
        run->process->waitForFinished(1000);
        return {Launch::failed, error};
    }

    const quint64 id = m_nextID++;
    connect(run->process.get(), &QProcess::readyReadStandardError, this, [this, id] {
        auto it = m_runs.find(id);
        if (it == m_runs.end())
            return;
        QByteArray &message = it->second->message;
        message += it->second->process->readAllStandardError();
        if (message.size() > maxToolMessageBytes)
            message = message.right(maxToolMessageBytes);
    });
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
    run->message += run->process->readAllStandardError();
    const bool exitedNormally = run->process->exitStatus() == QProcess::NormalExit;
    const int exitCode = run->process->exitCode();
    // The process object is inside its own signal: let the event loop delete it.
    run->process.release()->deleteLater();
    if (!run->message.trimmed().isEmpty())
        qCInfo(lcScreenshotCapture, "The screenshot tool wrote: %s", run->message.trimmed().constData());

    if (run->timedOut) {
        run->folder.reset();
        if (run->completion)
            run->completion(std::nullopt);
        return;
    }
    // Reading up to the cap and removing the folder both wait on the disk.
    std::shared_ptr<QTemporaryDir> folder = std::move(run->folder);
    inBackground(
        this,
        [folder, file = run->file, root = m_options.temporaryRoot, exitedNormally, exitCode,
         message = run->message]() mutable {
            Collected collected = collect(file, root, exitedNormally, exitCode, message);
            // The folder and whatever the tool left in it go now, before anyone looks at the bytes.
            folder.reset();
            return collected;
        },
        [completion = std::move(run->completion), failure = std::move(run->failure)](Collected collected) {
            if (!collected.failure.isEmpty()) {
                qCWarning(lcScreenshotCapture, "The screenshot failed: %s", qUtf8Printable(collected.failure));
                if (failure)
                    failure(collected.failure);
            }
            if (completion)
                completion(std::move(collected.data));
        });
}

ScreenshotToolRunner::Collected ScreenshotToolRunner::collect(const QString &file, const QString &temporaryRoot,
                                                              bool exitedNormally, int exitCode,
                                                              const QByteArray &toolMessage)
{
    // The tool's own last word, less its name and the private file's path; Qt's warnings are
    // no reason, and a cancel says nothing.
    QByteArray said;
    for (const QByteArray &line : toolMessage.split('\n'))
        if (line.startsWith(toolPrefix))
            said = line.mid(toolPrefix.size()).trimmed();
    const QString folder = QDir::toNativeSeparators(temporaryRoot);
    const QString told = QString::fromLocal8Bit(said).replace(file, QStringLiteral("the picture in %1").arg(folder));
    // A full folder is the likeliest reason for a missing picture, and the one the user can mend.
    const auto full = [&]() -> std::optional<QString> {
        const QStorageInfo storage(temporaryRoot);
        if (storage.isValid() && storage.bytesAvailable() < 1024 * 1024)
            return QStringLiteral("The temporary folder %1 is full.").arg(folder);
        return std::nullopt;
    };
    const auto failed = [](QString reason) { return Collected{std::nullopt, std::move(reason)}; };

    if (!exitedNormally)
        return failed(QStringLiteral("The screenshot tool stopped unexpectedly."));
    if (exitCode != 0) {
        // A cancelled selection ends quietly.
        if (told.isEmpty())
            return {};
        return failed(full().value_or(QStringLiteral("The screenshot tool said: %1.").arg(told)));
    }
    QFile picture(file);
    if (!picture.open(QIODevice::ReadOnly))
        return failed(full().value_or(QStringLiteral("The screenshot tool left no picture.")));
    const qint64 size = picture.size();
    if (size > maxFileBytes)
        return failed(QStringLiteral("The screenshot tool's picture of %1 bytes is over the limit of %2 bytes and "
                                     "was refused.")
                          .arg(size)
                          .arg(maxFileBytes));
    QByteArray bytes = picture.readAll();
    if (bytes.size() != size)
        return failed(
            QStringLiteral("The screenshot tool's picture could not be read: %1.").arg(picture.errorString()));
    if (bytes.isEmpty())
        return failed(full().value_or(QStringLiteral("The screenshot tool left an empty picture.")));
    return {std::move(bytes), {}};
}

} // namespace quillmere
