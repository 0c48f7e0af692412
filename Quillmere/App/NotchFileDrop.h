#pragma once

#include "Quillmere/Panel/Window/FileDropView.h"

#include <QList>
#include <QPainterPath>
#include <QPointer>
#include <QRect>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QScreen;
class QMimeData;

namespace quillmere {

class DragWatcher;

// Size and place of the drop strip hanging from the top centre of one screen. Linux screens
// have no notch, so `notch` is normally empty and the menu-bar fallback applies.
QRect notchDropFrame(const QRect &screenFrame, const QRect &availableFrame, std::optional<QSize> notch = std::nullopt);

class NotchDropView : public FileDropView {
    Q_OBJECT
public:
    explicit NotchDropView(DropHandler onDrop, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QPainterPath badgeOutline() const;
    bool m_translucent = false;
};

// One invisible strip per screen, shown only while a drag is under way so that it never takes
// clicks meant for the desktop; rebuilt when screens come and go or change size or work area.
class NotchFileDropController : public QObject {
    Q_OBJECT
public:
    explicit NotchFileDropController(NotchDropView::DropHandler onDrop, QObject *parent = nullptr);
    ~NotchFileDropController() override;

    void start();
    void stop();
    void rebuildPanels();
    const std::vector<std::unique_ptr<NotchDropView>> &windows() const { return m_windows; }
    // Shows or hides every strip; the drag watcher calls it, tests may too.
    void setDragInProgress(bool dragging);
    DragWatcher *dragWatcher() const { return m_dragWatcher.get(); }

private:
    std::unique_ptr<NotchDropView> makeDropPanel(QScreen *screen);
    NotchDropView::DropHandler m_onDrop;
    std::vector<std::unique_ptr<NotchDropView>> m_windows;
    std::unique_ptr<DragWatcher> m_dragWatcher;
    bool m_started = false;
    bool m_dragging = false;
};

} // namespace quillmere
