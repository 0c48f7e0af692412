#pragma once

#include "Quillmere/Clipboard/ClipboardMonitor.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Support/DisplayTestSupport.h"
#include "Support/MemoryPasteboard.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace quillmere::test {

// A store in memory, a running monitor over `pasteboard` and a record of every clip it hands on.
struct CaptureHarness {
    TempPreferences prefs;
    NotificationCenter center;
    // Replaces real recognition (runs on worker threads); counts its calls.
    std::function<std::optional<QString>(const QByteArray &)> recognizer = [](const QByteArray &) {
        return std::optional<QString>(QStringLiteral("recognised words"));
    };
    std::shared_ptr<std::atomic_int> recognitions = std::make_shared<std::atomic_int>(0);
    std::optional<FrontApplication> frontApp;
    std::vector<ClipRef> captured;
    // Declared last: goes first, waiting for its background work while the rest still exists.
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<ClipboardMonitor> monitor;

    explicit CaptureHarness(Pasteboard &pasteboard)
    {
        store = std::make_unique<ClipStore>(ModelContainer::open(QString(), systemClock(), nullptr),
                                            ClipStoreDependencies{prefs.prefs.get(), &center});
        CaptureDependencies deps;
        deps.store = store.get();
        deps.pasteboard = &pasteboard;
        deps.preferences = prefs.prefs.get();
        deps.frontApplication = [this] { return frontApp; };
        deps.recognizeText = [this, counter = recognitions](const QByteArray &data) {
            ++*counter;
            return recognizer(data);
        };
        monitor = std::make_unique<ClipboardMonitor>(deps, center);
        monitor->setOnItemCaptured([this](const ClipRef &clip) { captured.push_back(clip); });
        monitor->start();
    }

    std::vector<ClipRef> history() const { return store->historyNewestFirst(); }
    bool waitForCaptures(size_t count)
    {
        return waitUntil([&] { return captured.size() >= count; });
    }
    bool waitForMediaTasks(int timeoutMs = 20000)
    {
        return waitUntil([&] { return monitor->capture().pendingMediaTaskCount() == 0; }, timeoutMs);
    }
};

inline PasteboardContents textContents(const QString &text)
{
    PasteboardContents contents;
    contents.setString(text);
    return contents;
}

inline PasteboardContents dataContents(const QByteArray &data, const QString &type)
{
    PasteboardContents contents;
    contents.setData(data, type);
    return contents;
}

} // namespace quillmere::test
