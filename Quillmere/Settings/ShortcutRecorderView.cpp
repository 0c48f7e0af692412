#include "Quillmere/Settings/ShortcutRecorderView.h"

#include "Quillmere/Settings/SettingsPalette.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

namespace quillmere {

namespace P = SettingsPalette;

ShortcutRecorderView::ShortcutRecorderView(std::optional<CaptureShortcut> shortcut, OnChange onChange,
                                           ShortcutRecording::KeysymTable keysyms, QWidget *parent,
                                           ShortcutRecording::HotKeySuspension suspendHotKeys)
    : QAbstractButton(parent), m_shortcut(shortcut), m_onChange(std::move(onChange)), m_keysyms(std::move(keysyms)),
      m_beep([] { QApplication::beep(); }), m_suspendHotKeys(std::move(suspendHotKeys))
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, &ShortcutRecorderView::toggleRecording);
    updateLook();
}

ShortcutRecorderView::~ShortcutRecorderView()
{
    stopRecording();
}

void ShortcutRecorderView::setShortcut(std::optional<CaptureShortcut> shortcut)
{
    m_shortcut = shortcut;
    updateLook();
}

void ShortcutRecorderView::toggleRecording()
{
    if (isRecording())
        stopRecording();
    else
        startRecording();
}

void ShortcutRecorderView::startRecording()
{
    if (m_monitoring)
        return;
    // Another field left waiting would keep the hot keys let go after this one is done.
    for (ShortcutRecorderView *other : window()->findChildren<ShortcutRecorderView *>())
        if (other != this && other->isRecording())
            other->stopRecording();
    m_layout = X11Desktop::KeyboardLayout::current();
    m_recording.start();
    // Every key pressed in any of our windows comes here first while recording.
    qApp->installEventFilter(this);
    m_monitoring = true;
    if (m_suspendHotKeys)
        m_hotKeysSuspended = m_suspendHotKeys();
    // Recording elsewhere would keep the hot keys away from the user for good.
    m_focusWatch = connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focus) {
        if (!focus || focus != window()->windowHandle())
            stopRecording();
    });
    updateLook();
}

void ShortcutRecorderView::stopRecording()
{
    if (m_monitoring && qApp)
        qApp->removeEventFilter(this);
    disconnect(m_focusWatch);
    m_hotKeysSuspended.reset();
    m_monitoring = false;
    m_recording.stop();
    updateLook();
}

std::optional<quint32> ShortcutRecorderView::carbonKeyCode(const QKeyEvent &event) const
{
    // The key's own unshifted symbol: Ctrl+Shift+4 is the 4 key, not "$".
    std::optional<quint32> keysym;
    if (event.nativeScanCode() != 0)
        keysym = m_layout.unshiftedKeysym(event.nativeScanCode());
    if (!keysym)
        keysym = ShortcutRecording::keysymForQtKey(event.key());
    if (!keysym)
        return std::nullopt;
    return ShortcutRecording::carbonKeyCode(*keysym, m_keysyms);
}

bool ShortcutRecorderView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        // Claim the key so that no window shortcut takes it first.
        if (isRecording())
            event->accept();
        return false;
    }
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return QAbstractButton::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    if (ShortcutRecording::isModifierKey(key->key()))
        return isRecording();
    const auto result =
        m_recording.handleKeyDown(carbonKeyCode(*key), ShortcutRecording::carbonModifiers(key->modifiers()));
    switch (result.outcome) {
    case ShortcutRecording::Outcome::passedOn:
        return false;
    case ShortcutRecording::Outcome::refused:
        if (m_beep)
            m_beep();
        if (const std::optional<quint32> code = carbonKeyCode(*key); code && m_onReserved) {
            const CaptureShortcut typed{*code, ShortcutRecording::carbonModifiers(key->modifiers())};
            if (ShortcutRecording::isReserved(typed))
                m_onReserved(typed);
        }
        return true;
    case ShortcutRecording::Outcome::cancelled:
        stopRecording();
        return true;
    case ShortcutRecording::Outcome::removed:
    case ShortcutRecording::Outcome::recorded: {
        stopRecording();
        // The owner may rebuild us from its handler: nothing of ours is touched after it.
        OnChange onChange = m_onChange;
        if (onChange)
            onChange(result.shortcut);
        return true;
    }
    }
    return false;
}

void ShortcutRecorderView::hideEvent(QHideEvent *event)
{
    stopRecording();
    QAbstractButton::hideEvent(event);
}

QSize ShortcutRecorderView::sizeHint() const
{
    QFont f = P::font(12, QFont::DemiBold);
    const int text = QFontMetrics(f).horizontalAdvance(displayText());
    return {std::max(92, text) + 24, QFontMetrics(f).height() + 14};
}

void ShortcutRecorderView::updateLook()
{
    setToolTip(isRecording() ? QStringLiteral("Type a shortcut, or press Escape to cancel.")
                             : QStringLiteral("Click to record a shortcut."));
    setText(displayText());
    setAccessibleName(displayText());
    updateGeometry();
    update();
}

void ShortcutRecorderView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool recording = isRecording();
    QPainterPath capsule;
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
    p.fillPath(capsule, recording ? P::withOpacity(P::accent(), 0.16) : P::white(0.10));
    p.strokePath(capsule, QPen(recording ? P::withOpacity(P::accent(), 0.5) : P::white(0.12), 1));
    p.setFont(P::font(12, QFont::DemiBold));
    p.setPen(recording ? P::accent() : m_shortcut ? P::primaryText() : P::secondaryText());
    p.drawText(rect(), Qt::AlignCenter, displayText());
}

} // namespace quillmere
