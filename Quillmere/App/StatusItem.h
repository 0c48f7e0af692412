#pragma once

#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StatusMenu.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

namespace quillmere {

// The tray icon and its menu. The menu is rebuilt each time it opens so its titles and shortcuts
// follow the pause state, the recording state and the capture shortcuts.
class StatusItemController : public QObject {
    Q_OBJECT
public:
    using StateSource = std::function<StatusMenuState()>;
    using ActionHandler = std::function<void(StatusMenuAction)>;

    StatusItemController(StatusGlyphs &glyphs, StateSource state, ActionHandler onAction, std::function<void()> onClick,
                         QObject *parent = nullptr);
    ~StatusItemController() override;

    void install();
    // Brings back an icon the tray lost (a tray host that restarted, say).
    void refresh();
    void showCopiedIcon(bool copied);
    // A message from the tray icon; logged instead when no tray shows the icon.
    void showMessage(const QString &title, const QString &text);

    QSystemTrayIcon *trayIcon() const { return m_tray.get(); }
    QMenu *menu() const { return m_menu.get(); }
    void rebuildMenu();

private:
    StatusGlyphs &m_glyphs;
    StateSource m_state;
    ActionHandler m_onAction;
    std::function<void()> m_onClick;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    bool m_reportedMissingTray = false;
};

} // namespace quillmere
