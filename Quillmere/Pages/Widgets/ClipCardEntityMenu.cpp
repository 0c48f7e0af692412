#include "Quillmere/Pages/Widgets/ClipCardEntityMenu.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Pages/Widgets/PagesGlyphs.h"

#include <QMenu>

namespace quillmere {

ClipCardEntityMenu::ClipCardEntityMenu(std::vector<ClipEntityAction> actions, EntityActionHandlers handlers)
    : m_actions(std::move(actions)), m_handlers(std::move(handlers))
{
}

EntityActionHandlers ClipCardEntityMenu::handlers(PasteboardWriter &writer)
{
    return EntityActionHandlers::desktop([&writer](const QString &text) {
        PasteboardContents contents;
        contents.setString(text);
        writer.writeContents(contents);
    });
}

void ClipCardEntityMenu::addTo(QMenu &menu) const
{
    if (m_actions.empty())
        return;
    menu.addSeparator();
    const QColor glyphColor = menu.palette().color(QPalette::WindowText);
    for (const ClipEntityAction &action : m_actions) {
        const QIcon icon =
            action.swatch ? PagesGlyphs::swatch(*action.swatch) : PagesGlyphs::icon(action.symbol, glyphColor);
        // A "&" in a link would otherwise mark a shortcut letter.
        QAction *entry = menu.addAction(icon, QString(action.title).replace(QLatin1Char('&'), QStringLiteral("&&")));
        entry->setData(action.id);
        QObject::connect(entry, &QAction::triggered, &menu,
                         [action, handlers = m_handlers] { performEntityAction(action, handlers); });
    }
}

} // namespace quillmere
