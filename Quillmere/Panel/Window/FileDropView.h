#pragma once

#include <QList>
#include <QUrl>
#include <QWidget>
#include <functional>

namespace quillmere {

// A widget that takes drags of local files: it accepts only drags that carry some, knows while one
// hovers over it (to draw that), and hands the files to its handler on drop. Files are read with
// the same strict parser as the clipboard's, so a drop never yields a path the clipboard would refuse.
class FileDropView : public QWidget {
    Q_OBJECT
public:
    using DropHandler = std::function<bool(const QList<QUrl> &)>;

    explicit FileDropView(QWidget *parent = nullptr, Qt::WindowFlags flags = {});

    void setDropHandler(DropHandler handler) { m_onDrop = std::move(handler); }
    bool isDropTargeted() const { return m_isDropTargeted; }

Q_SIGNALS:
    // A drag of files came over the view (or left it, or was dropped).
    void dropTargetedChanged(bool targeted);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setTargeted(bool targeted);

    DropHandler m_onDrop;
    bool m_isDropTargeted = false;
};

} // namespace quillmere
