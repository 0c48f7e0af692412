#pragma once

#include "Quillmere/Clipboard/ClipboardOwnership.h"
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

    void setOnItemCaptured(std::function<void(const ClipRef &)> callback)
    {
        m_capture.onItemCaptured = std::move(callback);
    }
    PasteboardCapture &capture() { return m_capture; }

    // Content marked as concealed, generated or transient is never captured.
    static const QSet<QString> &ignoredPasteboardTypes();
    bool hasIgnoredMarkerType() const;
    // Asked before every capture; our own content never comes back as a clip.
    const ClipboardOwnership &ownership() const { return m_ownership; }

private:
    CaptureDependencies m_deps;
    PasteboardCapture m_capture;
    ClipboardOwnership m_ownership;
    QTimer m_timer;
    qint64 m_lastChangeCount = 0;
    bool m_connected = false;
};

} // namespace quillmere
