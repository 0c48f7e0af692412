#pragma once

#include "Quillmere/Capture/CaptureServiceContext.h"
#include "Quillmere/Model/Records.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

// "Copy Text From Area…": the user selects an area with the screenshot tool, its text is
// recognised on this machine, replaces the clipboard and is stored as a text clip from
// "Quillmere OCR".
class OCRAreaCaptureService : public QObject {
    Q_OBJECT
public:
    static inline const QString sourceAppName = QStringLiteral("Quillmere OCR");
    static inline const QString failureTitle = QStringLiteral("Couldn't copy text from the screen");

    explicit OCRAreaCaptureService(CaptureServiceContext context, QObject *parent = nullptr);

    void setOnCaptured(std::function<void(const ClipRef &)> onCaptured) { m_onCaptured = std::move(onCaptured); }

    void start();
    // Publishes one recognition result: clipboard, store, then the callback.
    void insertRecognizedText(const std::optional<QString> &text);

private:
    CaptureServiceContext m_context;
    std::function<void(const ClipRef &)> m_onCaptured;
};

} // namespace quillmere
