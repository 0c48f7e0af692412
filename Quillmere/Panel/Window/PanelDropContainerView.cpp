#include "Quillmere/Panel/Window/PanelDropContainerView.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

namespace quillmere {

PanelDropContainerView::PanelDropContainerView(QWidget *parent)
    : QWidget(parent), m_layout(new QVBoxLayout(this)), m_inset(new QWidget(this))
{
    setAcceptDrops(true);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    m_layout->addWidget(m_inset);
}

void PanelDropContainerView::setContentView(QWidget *view)
{
    m_layout->addWidget(view, 1);
}

void PanelDropContainerView::setTopInset(int height)
{
    m_inset->setFixedHeight(height);
}

QList<QUrl> PanelDropContainerView::localFiles(const QMimeData *mime)
{
    QList<QUrl> files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            files << url;
    }
    return files;
}

void PanelDropContainerView::setTargeted(bool targeted)
{
    if (m_isDropTargeted == targeted)
        return;
    m_isDropTargeted = targeted;
    update();
}

void PanelDropContainerView::dragEnterEvent(QDragEnterEvent *event)
{
    if (localFiles(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    setTargeted(true);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void PanelDropContainerView::dragMoveEvent(QDragMoveEvent *event)
{
    if (localFiles(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void PanelDropContainerView::dragLeaveEvent(QDragLeaveEvent *)
{
    setTargeted(false);
}

void PanelDropContainerView::dropEvent(QDropEvent *event)
{
    const QList<QUrl> files = localFiles(event->mimeData());
    setTargeted(false);
    if (files.isEmpty() || !m_onDrop || !m_onDrop(files)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void PanelDropContainerView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(24, 24, 27));
    if (m_isDropTargeted) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(10, 132, 255), 2));
        p.drawRoundedRect(QRectF(rect()).adjusted(3, 3, -3, -3), 14, 14);
    }
}

} // namespace quillmere
