#include "Quillmere/App/StatusItem.h"

#include "Quillmere/Platform/Core/KeyNotation.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QTimer>
#include <algorithm>

namespace quillmere {
namespace {

QColor trayInk()
{
    return QColor(0x26, 0x2a, 0x33);
}

} // namespace

TrayMessages::TrayMessages(Show show, int shownMs, QObject *parent)
    : QObject(parent), m_show(std::move(show)), m_shownMs(shownMs)
{
    m_turn.setSingleShot(true);
    connect(&m_turn, &QTimer::timeout, this, &TrayMessages::showNext);
}

void TrayMessages::post(const QString &title, const QString &text)
{
    if ((m_turn.isActive() && text == m_showing)
        || std::any_of(m_waiting.begin(), m_waiting.end(), [&](const Message &m) { return m.text == text; }))
        return;
    m_waiting.push_back({title, text});
    if (!m_turn.isActive())
        showNext();
}

void TrayMessages::showNext()
{
    if (m_waiting.empty())
        return;
    const Message next = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_showing = next.text;
    m_turn.start(m_shownMs);
    m_show(next.title, next.text, m_shownMs);
}

StatusItemController::StatusItemController(StatusGlyphs &glyphs, StateSource state, ActionHandler onAction,
                                           std::function<void()> onClick, QObject *parent)
    : QObject(parent), m_glyphs(glyphs), m_state(std::move(state)), m_onAction(std::move(onAction)),
      m_onClick(std::move(onClick)),
      m_messages(
          [this](const QString &title, const QString &text, int shownMs) {
              if (m_tray && m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable())
                  m_tray->showMessage(title, text, QSystemTrayIcon::Warning, shownMs);
              else
                  qCWarning(lcApp, "%s", qPrintable(text));
          },
          messageMs)
{
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::install()
{
    if (m_tray)
        return;
    m_menu = std::make_unique<QMenu>();
    connect(m_menu.get(), &QMenu::aboutToShow, this, &StatusItemController::rebuildMenu);
    rebuildMenu();
    m_tray = std::make_unique<QSystemTrayIcon>(m_glyphs.statusIcon(trayInk()));
    m_tray->setToolTip(QStringLiteral("Brindlewax — clipboard history (%1)").arg(panelShortcutText()));
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && m_onClick)
            m_onClick();
    });
    m_tray->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable() && !m_reportedMissingTray) {
        m_reportedMissingTray = true;
        qCInfo(lcApp, "No system tray is running; the icon appears when one starts. %s opens the history panel.",
               qPrintable(panelShortcutText()));
    }
    QTimer::singleShot(500, this, &StatusItemController::refresh);
}

void StatusItemController::refresh()
{
    if (!m_tray) {
        install();
        return;
    }
    if (m_tray->icon().isNull())
        m_tray->setIcon(m_glyphs.statusIcon(trayInk()));
    if (!m_tray->isVisible())
        m_tray->show();
}

void StatusItemController::showCopiedIcon(bool copied)
{
    if (!m_tray)
        return;
    m_tray->setIcon(copied ? m_glyphs.copiedIcon(trayInk()) : m_glyphs.statusIcon(trayInk()));
}

void StatusItemController::showMessage(const QString &title, const QString &text)
{
    if (m_tray && m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        m_messages.post(title, text);
        return;
    }
    // A log keeps every line: nothing to wait for.
    qCWarning(lcApp, "%s", qPrintable(text));
}

void StatusItemController::rebuildMenu()
{
    if (!m_menu)
        return; // not installed: there is no menu to fill
    m_menu->clear();
    for (const StatusMenuEntry &entry : makeStatusMenuEntries(m_state())) {
        if (entry.action == StatusMenuAction::separator) {
            m_menu->addSeparator();
            continue;
        }
        // A tab-separated text is what the menu shows in its shortcut column, instead of Qt's
        // rendering of the key sequence.
        QAction *action = m_menu->addAction(
            entry.shortcutText.isEmpty() ? entry.title : entry.title + QLatin1Char('\t') + entry.shortcutText);
        action->setShortcut(entry.shortcut);
        action->setEnabled(entry.enabled);
        const StatusMenuAction which = entry.action;
        connect(action, &QAction::triggered, this, [this, which] { m_onAction(which); });
    }
}

} // namespace quillmere
