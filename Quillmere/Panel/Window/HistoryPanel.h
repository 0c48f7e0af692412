#pragma once

#include "Quillmere/Panel/Window/PanelKeyboardTap.h"

#include <QWidget>
#include <functional>

namespace quillmere {

// The panel window: frameless, above other windows, on every desktop, out of the taskbar and
// pager. It hangs from the top edge of a screen and slides its content down into view; the part
// not yet slid in is cut away by the window's shape, so no compositor is needed. Every key it
// receives goes to the key handler first.
class HistoryPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int initialWidth = 1000;
    static constexpr int initialHeight = 260;
    static constexpr int cornerRadius = 16;

    // Takes `content` as its one child, sized to the window.
    explicit HistoryPanel(QWidget *content, QWidget *parent = nullptr);
    ~HistoryPanel() override;

    // Escape and Return that reach the window itself: keys no handler took (a dialog had them).
    std::function<void()> onCancel;
    std::function<void()> onReturn;
    // Whether the panel asks for the keyboard focus when it is ordered front.
    bool allowsKeyFocus = true;
    // Asks the window manager to give this window the focus; Qt's own request is made as well.
    std::function<void()> requestActivation;

    // While a text field of the panel has the focus, keys go to it, unless the panel is closing
    // (then they are the window underneath's).
    std::function<bool()> closing;
    std::function<bool(const CapturedKey &)> onKeyPress;
    std::function<bool()> onKeyRelease;

    QWidget *content() const { return m_content; }
    void place(const QRect &frame);
    // Shows the bottom `fraction` of the content at the top of the window.
    void setVisibleFraction(double fraction);
    double visibleFraction() const { return m_fraction; }

    // Maps the window, raises it and, when allowed, asks for the focus.
    void orderFront();
    void orderOut();
    bool hasKeyFocus() const;
    bool textFieldHasFocus() const;
    // A pointer button is down anywhere on the display (the X server's view, not Qt's).
    static bool pointerButtonsDown();

Q_SIGNALS:
    void activated();
    void deactivated();
    void visibleFractionChanged(double fraction);
    // A frame of the window reached the screen (the first one after ordering front included).
    void framePainted();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyDesktopHints();
    void updateShape();
    void askForActivation();

    QWidget *m_content;
    double m_fraction = 0;
    bool m_filterInstalled = false;
    bool m_activationPending = false;
    bool m_hasFocus = false;
    bool m_keyForField = false;
};

} // namespace quillmere
