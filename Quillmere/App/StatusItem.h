#pragma once

#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StatusMenu.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

namespace quillmere {

// Messages from the tray one at a time: a tray shows one bubble at once, a new one in the place of
// the last, so each keeps the tray for `shownMs` and one that comes meanwhile waits its turn. The
// same words already showing or waiting are not shown again.
class TrayMessages : public QObject {
    Q_OBJECT
public:
    using Show = std::function<void(const QString &title, const QString &text, int shownMs)>;
    TrayMessages(Show show, int shownMs, QObject *parent = nullptr);

    void post(const QString &title, const QString &text);

private:
    struct Message {
        QString title, text;
    };
    void showNext();

    Show m_show;
    int m_shownMs;
    QTimer m_turn;
    QString m_showing;
    std::deque<Message> m_waiting;
};

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
    // A message from the tray icon, after those before it (see TrayMessages); logged instead when
    // no tray shows the icon.
    void showMessage(const QString &title, const QString &text);
    static constexpr int messageMs = 10000;

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
    TrayMessages m_messages;
};

} // namespace quillmere
