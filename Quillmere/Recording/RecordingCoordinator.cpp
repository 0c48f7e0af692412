#include "Quillmere/Recording/RecordingCoordinator.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Recording/MovieThumbnail.h"

#include <QFileInfo>
#include <QFutureWatcher>
#include <QPointer>
#include <QtConcurrent>

namespace quillmere {

QString RecordingCoordinator::stopCauseMessage(StopCause cause)
{
    const QString kept = QStringLiteral(" What was recorded until then is saved.");
    switch (cause) {
    case StopCause::displayGone:
        return userMessage(RecordingError::noDisplay) + kept;
    case StopCause::audioServerGone:
        return QStringLiteral("The audio server stopped.") + kept;
    case StopCause::writerFailed:
        return userMessage(RecordingError::saveFailed);
    }
    return {};
}

QString RecordingCoordinator::missingAudioMessage(const QStringList &missing)
{
    if (missing.size() > 1)
        return QStringLiteral("Neither system audio nor the microphone could be recorded, so the movie has no sound.");
    const QString track = missing.value(0);
    return QStringLiteral("The %1 couldn't be recorded, so the movie has no %1 track.").arg(track);
}

RecordingCoordinator::RecordingCoordinator(Dependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps))
{
    QPointer<RecordingCoordinator> self(this);
    m_deps.surfaces->onStop = [self] {
        if (!self)
            return;
        self->m_deps.surfaces->hideControls();
        self->stopRecording();
    };
    m_deps.surfaces->onToggleMute = [self](bool muted) {
        if (self)
            self->m_deps.recorder->setMicMuted(muted);
    };
    m_deps.recorder->onUnexpectedStop = [self](const RecordingResult &result) {
        if (!self)
            return;
        self->m_deps.surfaces->hideControls();
        self->finishRecording(result);
        const auto cause = self->m_deps.recorder->lastStopCause();
        if (std::holds_alternative<QString>(result) && cause)
            self->m_deps.surfaces->alert(QStringLiteral("Recording stopped"), stopCauseMessage(*cause),
                                         {QStringLiteral("OK")});
    };
}

void RecordingCoordinator::toggle()
{
    if (m_launching)
        return;
    switch (m_deps.recorder->state()) {
    case ScreenRecorder::State::recording:
        m_deps.surfaces->hideControls();
        stopRecording();
        break;
    case ScreenRecorder::State::idle:
        if (m_deps.surfaces->isSelectorOpen()) {
            m_deps.surfaces->dismissSelector();
            break;
        }
        {
            QPointer<RecordingCoordinator> self(this);
            m_deps.surfaces->presentSelector([self](const std::optional<RegionSelection> &selection) {
                if (self)
                    self->handleSelection(selection);
            });
        }
        break;
    case ScreenRecorder::State::starting:
        break;
    }
}

void RecordingCoordinator::handleSelection(const std::optional<RegionSelection> &selection)
{
    if (!selection)
        return;
    m_launching = true;
    const RecordingAudioPreferences audio =
        m_deps.preferences ? RecordingAudioPreferences::load(*m_deps.preferences) : RecordingAudioPreferences{};
    if (const auto error = m_deps.recorder->start(selection, audio)) {
        const QString message =
            *error == RecordingError::folderUnusable ? m_deps.recorder->folderProblem() : userMessage(*error);
        qCCritical(lcRecording, "Failed to start screen recording: %s", qUtf8Printable(message));
        if (m_deps.beep)
            m_deps.beep();
        // There is no privacy pane to open on this desktop, so every failure offers only "OK".
        m_deps.surfaces->alert(QStringLiteral("Couldn't start recording"), message, {QStringLiteral("OK")});
        m_launching = false;
        return;
    }
    if (m_deps.recorder->state() == ScreenRecorder::State::recording)
        m_deps.surfaces->showControls(*selection, m_deps.recorder->startedAt(), audio.micEnabled);
    m_launching = false;
}

void RecordingCoordinator::stopRecording()
{
    QPointer<RecordingCoordinator> self(this);
    m_deps.recorder->stop([self](const RecordingResult &result) {
        if (self)
            self->finishRecording(result);
    });
}

void RecordingCoordinator::finishRecording(const RecordingResult &result)
{
    if (const auto *error = std::get_if<RecordingError>(&result)) {
        qCCritical(lcRecording, "Recording could not be saved: %s", qUtf8Printable(userMessage(*error)));
        if (m_deps.beep)
            m_deps.beep();
        m_deps.surfaces->alert(QStringLiteral("Recording wasn't saved"), userMessage(*error), {QStringLiteral("OK")});
        return;
    }
    const QString path = std::get<QString>(result);
    const QStringList missingAudio = m_deps.recorder->lastMissingAudio();
    auto *watcher = new QFutureWatcher<std::optional<QByteArray>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path, missingAudio] {
        watcher->deleteLater();
        saveRecording(path, watcher->future().takeResult(), missingAudio);
    });
    watcher->setFuture(QtConcurrent::run([path] { return recording::movieThumbnailPNG(path); }));
}

CapturedContent RecordingCoordinator::recordingContent(const QString &moviePath,
                                                       const std::optional<QByteArray> &thumbnail,
                                                       const QString &bundleIdentifier)
{
    CapturedContent content;
    content.kind = ClipKind::file;
    content.text = moviePath;
    content.imageData = thumbnail;
    content.fileName = QFileInfo(moviePath).fileName();
    content.sourceAppName = sourceAppName;
    if (!bundleIdentifier.isEmpty())
        content.sourceAppBundleID = bundleIdentifier;
    return content;
}

void RecordingCoordinator::saveRecording(const QString &path, const std::optional<QByteArray> &thumbnail,
                                         const QStringList &missingAudio)
{
    const ClipRef clip = m_deps.store->insertClip(recordingContent(path, thumbnail, m_deps.bundleIdentifier));
    if (!clip) {
        qCCritical(lcRecording, "Failed to insert recording clip for %s", qUtf8Printable(QFileInfo(path).fileName()));
        return;
    }
    if (m_deps.writeClip)
        m_deps.writeClip(*clip);
    if (m_deps.onRecordingSaved)
        m_deps.onRecordingSaved(clip);
    if (!missingAudio.isEmpty())
        m_deps.surfaces->alert(QStringLiteral("Recording saved without sound"), missingAudioMessage(missingAudio),
                               {QStringLiteral("OK")});
}

} // namespace quillmere
