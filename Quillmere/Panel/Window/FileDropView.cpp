#include "Quillmere/Panel/Window/FileDropView.h"

#include "Quillmere/Platform/Pasteboard.h"

#include <QDragEnterEvent>
#include <QMimeData>

namespace quillmere {
namespace {

QList<QUrl> droppedFiles(const QMimeData *mime)
{
    return mime ? fileURLsFromMimeData(*mime) : QList<QUrl>{};
}

} // namespace

FileDropView::FileDropView(QWidget *parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    setAcceptDrops(true);
}

void FileDropView::setTargeted(bool targeted)
{
    if (m_isDropTargeted == targeted)
        return;
    m_isDropTargeted = targeted;
    update();
    Q_EMIT dropTargetedChanged(targeted);
}

void FileDropView::dragEnterEvent(QDragEnterEvent *event)
{
    if (droppedFiles(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    setTargeted(true);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void FileDropView::dragMoveEvent(QDragMoveEvent *event)
{
    if (droppedFiles(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void FileDropView::dragLeaveEvent(QDragLeaveEvent *)
{
    setTargeted(false);
}

void FileDropView::dropEvent(QDropEvent *event)
{
    const QList<QUrl> files = droppedFiles(event->mimeData());
    setTargeted(false);
    if (files.isEmpty() || !m_onDrop || !m_onDrop(files)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

} // namespace quillmere
