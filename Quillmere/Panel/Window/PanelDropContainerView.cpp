#include "Quillmere/Panel/Window/PanelDropContainerView.h"

#include <QPainter>
#include <QVBoxLayout>

namespace quillmere {

PanelDropContainerView::PanelDropContainerView(QWidget *parent)
    : FileDropView(parent), m_layout(new QVBoxLayout(this)), m_inset(new QWidget(this))
{
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

void PanelDropContainerView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(24, 24, 27));
    if (isDropTargeted()) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(10, 132, 255), 2));
        p.drawRoundedRect(QRectF(rect()).adjusted(3, 3, -3, -3), 14, 14);
    }
}

} // namespace quillmere
