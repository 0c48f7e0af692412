#pragma once

#include <QByteArray>
#include <QString>
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
    // Runs off the main thread; Tesseract unless replaced.
    std::function<std::optional<QString>(const QByteArray &)> recognizeText;
    QString bundleIdentifier = QStringLiteral("com.orvantide.quillmere");
};

} // namespace quillmere
