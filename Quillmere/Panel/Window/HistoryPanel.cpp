#include "Quillmere/Panel/Window/HistoryPanel.h"

#include "Quillmere/Platform/X11Desktop.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainterPath>
#include <QWindow>
#include <cmath>
#include <utility>

namespace quillmere {

HistoryPanel::HistoryPanel(QWidget *content, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint),
      m_content(content)
{
    setWindowTitle(QStringLiteral("Brindlewax"));
    setFocusPolicy(Qt::StrongFocus);
    m_content->setParent(this);
    resize(initialWidth, initialHeight);
    setVisibleFraction(0);
    // Followed at the window level: after a quick hide and show, Qt's widgets can miss that the
    // window has the focus again, while the window system and QGuiApplication know.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focus) {
        const bool focused = focus && focus == windowHandle();
        if (focused == m_hasFocus)
            return;
        m_hasFocus = focused;
        if (focused)
            Q_EMIT activated();
        else
            Q_EMIT deactivated();
    });
}

HistoryPanel::~HistoryPanel() = default;

void HistoryPanel::place(const QRect &frame)
{
    setGeometry(frame);
}

void HistoryPanel::resizeEvent(QResizeEvent *)
{
    m_content->resize(size());
    setVisibleFraction(m_fraction);
}

void HistoryPanel::setVisibleFraction(double fraction)
{
    m_fraction = std::clamp(fraction, 0.0, 1.0);
    m_content->move(0, -int(std::lround((1 - m_fraction) * height())));
    updateShape();
    Q_EMIT visibleFractionChanged(m_fraction);
}

void HistoryPanel::updateShape()
{
    // At least one row stays in the shape: an empty shape would mean no shape at all.
    const int w = width(), h = height();
    const int visible = std::max(1, int(std::lround(m_fraction * h)));
    const double top = visible - h, bottom = visible, r = cornerRadius;
    QPainterPath outline;
    outline.moveTo(0, top);
    outline.lineTo(w, top);
    outline.lineTo(w, bottom - r);
    outline.quadTo(w, bottom, w - r, bottom);
    outline.lineTo(r, bottom);
    outline.quadTo(0, bottom, 0, bottom - r);
    outline.closeSubpath();
    QRegion shape = QRegion(outline.toFillPolygon().toPolygon()) & QRect(0, 0, w, visible);
    if (shape.isEmpty())
        shape = QRect(0, 0, w, 1);
    setMask(shape);
}

void HistoryPanel::applyDesktopHints()
{
    X11Desktop::applyPanelHints(winId());
}

void HistoryPanel::orderFront()
{
    if (!m_filterInstalled) {
        winId();
        windowHandle()->installEventFilter(this);
        m_filterInstalled = true;
    }
    if (!isVisible()) {
        applyDesktopHints();
        show();
    }
    raise();
    // Asked even when Qt still counts the window active: a hide it has not heard of yet may have
    // taken the focus away.
    m_activationPending = allowsKeyFocus;
    if (m_activationPending) {
        activateWindow();
        if (windowHandle()->isExposed())
            askForActivation();
    }
}

void HistoryPanel::askForActivation()
{
    m_activationPending = false;
    if (requestActivation && allowsKeyFocus)
        requestActivation();
}

void HistoryPanel::orderOut()
{
    m_activationPending = false;
    hide();
}

bool HistoryPanel::hasKeyFocus() const
{
    return isVisible() && m_hasFocus;
}

bool HistoryPanel::pointerButtonsDown()
{
    return X11Desktop::pointerButtonsDown();
}

bool HistoryPanel::textFieldHasFocus() const
{
    const QWidget *focus = QApplication::focusWidget();
    // Editable text widgets are the ones that take input-method text.
    return focus && focus->window() == this && focus->isVisible() && focus->testAttribute(Qt::WA_InputMethodEnabled);
}

bool HistoryPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != windowHandle())
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress: {
        // A text field of the panel (a Page's name) types what it gets; the Return or Escape it
        // lets through ends its editing and nothing more.
        m_keyForField = textFieldHasFocus() && !(closing && closing());
        if (m_keyForField)
            break;
        const auto *key = static_cast<QKeyEvent *>(event);
        const CapturedKey captured{
            PanelKey::fromKeyEvent(key->key(), key->modifiers(), key->text(), key->nativeScanCode()),
            key->nativeScanCode(), key->nativeModifiers()};
        return onKeyPress && onKeyPress(captured);
    }
    case QEvent::KeyRelease:
        if (textFieldHasFocus() && !(closing && closing()))
            break;
        return onKeyRelease && onKeyRelease();
    case QEvent::Expose:
        // The window manager knows the window only once it is mapped; ask for the focus then.
        if (windowHandle()->isExposed() && m_activationPending)
            askForActivation();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void HistoryPanel::keyPressEvent(QKeyEvent *event)
{
    if (std::exchange(m_keyForField, false)) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape && onCancel) {
        onCancel();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && onReturn) {
        onReturn();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HistoryPanel::paintEvent(QPaintEvent *)
{
    Q_EMIT framePainted();
}

} // namespace quillmere
