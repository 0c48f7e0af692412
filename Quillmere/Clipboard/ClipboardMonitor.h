#pragma once

#include "Quillmere/Clipboard/PasteboardCapture.h"

#include <QObject>
#include <QSet>
#include <QTimer>

namespace quillmere {

class NotificationCenter;

// Notices clipboard changes, decides whether each may be captured, and hands the ones that may
// to the capture. Every change is looked at once; our own writes never come back as clips.
class ClipboardMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int pollIntervalMs = 200;

    // `deps.pasteboard`, `deps.store` and `deps.preferences` must outlive the monitor. What is on
    // the clipboard now is taken as seen.
    ClipboardMonitor(CaptureDependencies deps, NotificationCenter &center, QObject *parent = nullptr);
    ~ClipboardMonitor() override;

    // Starts the poll and the reaction to change signals; calling it again changes nothing.
    void start();
    bool isStarted() const { return m_timer.isActive(); }

    // One look at the clipboard.
    void checkPasteboard();

    qint64 lastChangeCount() const { return m_lastChangeCount; }
    // The paste service sets this after its own writes.
    void setLastChangeCount(qint64 count) { m_lastChangeCount = count; }

    void setOnItemCaptured(std::function<void(const ClipRef &)> callback)
    {
        m_capture.onItemCaptured = std::move(callback);
    }
    PasteboardCapture &capture() { return m_capture; }

    // Content marked as concealed, generated or transient is never captured.
    static const QSet<QString> &ignoredPasteboardTypes();
    bool hasIgnoredMarkerType() const;
    // Content this program wrote, even when another program offers it again.
    bool isOwnContent() const;

private:
    CaptureDependencies m_deps;
    PasteboardCapture m_capture;
    QTimer m_timer;
    qint64 m_lastChangeCount = 0;
    bool m_connected = false;
};

} // namespace quillmere
