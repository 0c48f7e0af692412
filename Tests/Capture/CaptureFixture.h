#pragma once

#include "Quillmere/Capture/CaptureServiceContext.h"
#include "Quillmere/Capture/ScreenshotToolRunner.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Support/DisplayTestSupport.h"
#include "Support/MemoryPasteboard.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <memory>

namespace quillmere::test {

// Shell scripts that stand in for the screenshot tool. Each logs its arguments and the mode of
// the folder it was asked to write into, then does what the test wants with the file.
class FakeTool {
public:
    // `body` runs with $out set to the file the caller asked for.
    QString script(const QString &name, const QString &body)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("#!/bin/sh\nfor a; do out=$a; done\n"
                                  "echo \"$* $(stat -c %a \"$(dirname \"$out\")\")\" >> '%1'\n%2\n")
                       .arg(logPath(), body)
                       .toUtf8());
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return path;
    }
    // Copies `bytes` to the requested file.
    QString writing(const QByteArray &bytes)
    {
        const QString source = m_dir.filePath(QStringLiteral("source-%1").arg(++m_sources));
        QFile file(source);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        file.close();
        return script(QStringLiteral("tool-%1").arg(m_sources), QStringLiteral("cat '%1' > \"$out\"").arg(source));
    }
    QString logPath() const { return m_dir.filePath(QStringLiteral("calls.log")); }
    QStringList calls() const
    {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString dir() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    int m_sources = 0;
};

// A store in memory, a pasteboard in memory, and a record of beeps and own-write notices.
struct CaptureServiceHarness {
    TempPreferences prefs;
    NotificationCenter center;
    MemoryPasteboard pasteboard;
    QTemporaryDir temporaryRoot;
    int beeps = 0;
    std::shared_ptr<std::atomic_int> recognitions = std::make_shared<std::atomic_int>(0);
    // Runs inside each recognition, on its worker thread.
    std::function<void()> duringRecognition;
    QList<QVariantMap> ownWrites;
    std::unique_ptr<ClipStore> store;

    CaptureServiceHarness()
    {
        store = std::make_unique<ClipStore>(ModelContainer::open(QString(), systemClock(), nullptr),
                                            ClipStoreDependencies{prefs.prefs.get(), &center});
        center.addObserver(ownPasteboardWriteNotification, &pasteboard,
                           [this](const Notification &note) { ownWrites << note.userInfo; });
    }

    ScreenshotToolRunner::Options toolOptions(const QString &program) const
    {
        ScreenshotToolRunner::Options options;
        options.program = program;
        options.temporaryRoot = temporaryRoot.path();
        return options;
    }

    CaptureServiceContext context(ScreenshotToolRunner *tool,
                                  std::optional<QString> recognised = QStringLiteral("words"))
    {
        CaptureServiceContext context;
        context.store = store.get();
        context.pasteboard = &pasteboard;
        context.center = &center;
        context.preferences = prefs.prefs.get();
        context.tool = tool;
        context.beep = [this] { ++beeps; };
        context.recognizeText = [this, recognised, counter = recognitions](const QByteArray &) {
            if (duringRecognition)
                duringRecognition();
            ++*counter;
            return recognised;
        };
        return context;
    }

    std::vector<ClipRef> history() const { return store->historyNewestFirst(); }
    // Whatever the runs left under the temporary root.
    QStringList leftovers() const
    {
        return QDir(temporaryRoot.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    }
};

} // namespace quillmere::test
