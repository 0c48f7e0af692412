#pragma once

#include <QByteArray>
#include <QDir>
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QProcess;
class QTemporaryDir;
class QTimer;

namespace quillmere {

// "quillmere-screenshot" beside the running program.
QString defaultScreenshotToolProgram();

struct ScreenshotToolOptions {
    QString program = defaultScreenshotToolProgram();
    // A tool that outlives these is taken as hung: it is ended and the capture gives nothing.
    int fullScreenTimeoutMs = 20 * 1000;
    int interactiveTimeoutMs = 10 * 60 * 1000;
    QString temporaryRoot = QDir::tempPath();
};

// Runs the screenshot tool ("quillmere-screenshot", beside the program) as a child process, one
// per capture. Each file lives in a private folder of its own that goes away with the run, so no
// other user can read, replace or predict it, and nothing is left behind.
class ScreenshotToolRunner : public QObject {
    Q_OBJECT
public:
    using Options = ScreenshotToolOptions;

    enum class Launch {
        started,
        // A selection is open already; a second capture would put its overlay on top of it.
        refusedWhileSelecting,
        failed,
    };
    struct LaunchResult {
        Launch status = Launch::failed;
        QString error;
        // The failure in words for the user.
        QString reason() const { return QStringLiteral("The screenshot tool could not be started: %1.").arg(error); }
    };
    // The image bytes, or nothing when the user cancelled, the tool left no or an empty file,
    // or it was ended as hung. Called on the main thread, never from inside `capture`.
    using Completion = std::function<void(std::optional<QByteArray>)>;
    // Why a run gave no picture although the user did not cancel it, in words for the user;
    // called just before the completion.
    using Failure = std::function<void(const QString &reason)>;

    static constexpr qint64 maxFileBytes = 512LL * 1024 * 1024;
    static inline const QString filePrefix = QStringLiteral("quillmere-capture-");

    explicit ScreenshotToolRunner(Options options = Options(), QObject *parent = nullptr);
    ~ScreenshotToolRunner() override;

    // "-i" and the file for an area, the file alone for the screen. The completion is called
    // once, only when the launch succeeded.
    LaunchResult capture(bool interactive, Completion completion, Failure failure = {});

    int runningCount() const { return int(m_runs.size()); }
    bool isSelecting() const;

private:
    struct Run;
    // What a finished run left: the picture, or why there is none ("" when cancelled).
    struct Collected {
        std::optional<QByteArray> data;
        QString failure;
    };
    void finishRun(quint64 id);
    // Reads the tool's file; blocks, so it runs off the main thread.
    static Collected collect(const QString &file, const QString &temporaryRoot, bool exitedNormally, int exitCode,
                             const QByteArray &toolMessage);

    Options m_options;
    std::map<quint64, std::unique_ptr<Run>> m_runs;
    quint64 m_nextID = 1;
};

} // namespace quillmere
