#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QString>
#include <QThreadPool>
#include <QtConcurrent>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;
class NotificationCenter;
class Pasteboard;
class Preferences;
class ScreenshotToolRunner;

// What the screenshot and OCR capture services share: where clips and pasteboard writes go,
// the tool that takes the pictures, and the few system calls they make.
struct CaptureServiceContext {
    ClipStore *store = nullptr;
    Pasteboard *pasteboard = nullptr;
    NotificationCenter *center = nullptr;
    Preferences *preferences = nullptr;
    ScreenshotToolRunner *tool = nullptr;
    std::function<void()> beep;
    // Tells the user why a capture gave nothing (not for a cancelled one).
    std::function<void(const QString &title, const QString &reason)> showFailure;
    // Runs off the main thread; Tesseract unless replaced.
    std::function<std::optional<QString>(const QByteArray &)> recognizeText;
    // Where recognition runs; the global pool when none. Tesseract's own threads make two
    // recognitions at once far slower than one after the other.
    QThreadPool *recognitionPool = nullptr;
    QString bundleIdentifier = QStringLiteral("com.orvantide.quillmere");

    void reportFailure(const QString &title, const QString &reason) const
    {
        if (beep)
            beep();
        if (showFailure)
            showFailure(title, reason);
    }

    // Recognises `image` in the background and hands the text to `done` on the receiver's
    // thread, unless the receiver is gone by then.
    template <typename Done> void recognizeInBackground(QObject *receiver, const QByteArray &image, Done done) const
    {
        auto *watcher = new QFutureWatcher<std::optional<QString>>(receiver);
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [watcher, done = std::move(done)]() mutable {
            watcher->deleteLater();
            done(watcher->future().takeResult());
        });
        watcher->setFuture(QtConcurrent::run(recognitionPool ? recognitionPool : QThreadPool::globalInstance(),
                                             [image, recognize = recognizeText] { return recognize(image); }));
    }
};

} // namespace quillmere
