#include "Quillmere/Platform/Widgets/DialogTitle.h"

#include <QDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSpacerItem>

namespace quillmere::DialogTitle {

QString shown(const QString &title)
{
    const QString name = QGuiApplication::applicationDisplayName();
    if (title.isEmpty())
        return name;
    if (name.isEmpty() || title.endsWith(name))
        return title;
    return title + QStringLiteral(" \u2014 ") + name;
}

int neededWidth(const QWidget *window)
{
    QFont font = window->font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    // The frame's icon and its iconify, maximise and close buttons, each about a line high.
    const int buttons = 4 * (metrics.height() + 10) + 16;
    return metrics.horizontalAdvance(shown(window->windowTitle())) + buttons;
}

void fit(QDialog *dialog)
{
    QLayout *layout = dialog->layout();
    const int needed = neededWidth(dialog);
    if (!layout) {
        dialog->setMinimumWidth(std::max(dialog->minimumWidth(), needed));
        return;
    }
    const QMargins margins = layout->contentsMargins();
    // A strut in the layout, because a message box sets its own fixed size from its layout.
    auto *strut = new QSpacerItem(needed - margins.left() - margins.right(), 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (auto *grid = qobject_cast<QGridLayout *>(layout))
        grid->addItem(strut, grid->rowCount(), 0, 1, grid->columnCount());
    else
        layout->addItem(strut);
    if (!qobject_cast<QMessageBox *>(dialog))
        layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace quillmere::DialogTitle
