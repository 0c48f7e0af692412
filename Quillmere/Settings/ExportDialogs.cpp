#include "Quillmere/Settings/ExportDialogs.h"

#include "Quillmere/Platform/Widgets/DialogTitle.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>

namespace quillmere::jsonexport {

ExportInteraction dialogInteraction()
{
    ExportInteraction interaction;
    interaction.choosePath = []() -> std::optional<QString> {
        const QString start =
            QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)).filePath(defaultFileName);
        const QString path = QFileDialog::getSaveFileName(nullptr, panelTitle, start, QStringLiteral("JSON (*.json)"));
        if (path.isEmpty())
            return std::nullopt;
        return path;
    };
    interaction.showError = [](const QString &message) {
        QMessageBox box(QMessageBox::Warning, panelTitle, message, QMessageBox::Ok);
        DialogTitle::fit(&box);
        box.exec();
    };
    return interaction;
}

} // namespace quillmere::jsonexport
