#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

namespace quillmere {

// Tells when a drag-and-drop is under way anywhere on the X display: a drag source takes the
// XdndSelection when it starts, and the drag ends when the pointer buttons are released.
class DragWatcher : public QObject {
    Q_OBJECT
public:
    explicit DragWatcher(QObject *parent = nullptr);
    ~DragWatcher() override;

    bool isAvailable() const;
    bool isDragging() const { return m_dragging; }

Q_SIGNALS:
    void dragStarted();
    void dragEnded();

private:
    struct X11;
    void readEvents();
    void pollPointer();
    std::unique_ptr<X11> m_x11;
    QTimer m_pointerPoll;
    bool m_dragging = false;
};

} // namespace quillmere
