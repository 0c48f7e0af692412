#include "Quillmere/Settings/DataPane.h"

#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Settings/ExportDialogs.h"
#include "Quillmere/Settings/SettingsPalette.h"

#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QStandardPaths>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

const QString exportSubtitle = QStringLiteral("Bundle every clip, page, and pin into one Brindlewax backup file.");
const QString importSubtitle =
    QStringLiteral("Restore from a Brindlewax backup file. Clips you already have are skipped.");
const QString pageSubtitle = QStringLiteral("Add a shared Brindlewax Page file as a new Page.");

void setBusy(ActionRow *row, bool busy, const QString &idleSubtitle, const QString &busySubtitle,
             const QString &idleButton, const QString &busyButton)
{
    row->setSubtitle(busy ? busySubtitle : idleSubtitle);
    row->button()->setText(busy ? busyButton : idleButton);
    row->button()->updateGeometry();
}

} // namespace

DataPane::DataPane(DataActions &actions, QWidget *parent)
    : SettingsSection(quillmere::title(SettingsPane::data), systemImage(SettingsPane::data), parent), m_actions(actions)
{
    QVBoxLayout *rows = content();
    auto divider = [this, rows] { rows->addWidget(new SettingsDivider(this)); };
    auto action = [this, rows, divider](const QString &title, const QString &subtitle, const QString &symbol,
                                        const QString &button, bool destructive, void (DataActions::*run)()) {
        auto *row = new ActionRow(title, subtitle, symbol, button, destructive, this);
        connect(row->button(), &QAbstractButton::clicked, &m_actions, run);
        divider();
        rows->addWidget(row);
        return row;
    };

    m_storage = makeLabel(QString(), 12.5, QFont::DemiBold, P::secondaryText(), false, this);
    rows->addWidget(new SettingsRow(QStringLiteral("Storage used"),
                                    QStringLiteral("The history's files on disk, database overhead included."),
                                    QStringLiteral("internaldrive"), m_storage, this));
    m_stats = new ActionRow(
        QStringLiteral("Stats & Storage"),
        QStringLiteral("The clips' own content by type, largest clips, per-Page usage, and a duplicate sweep."),
        QStringLiteral("chart.bar.doc.horizontal"), QStringLiteral("Open"), false, this);
    connect(m_stats->button(), &QAbstractButton::clicked, this, [this] { m_actions.setShowingStorageDashboard(true); });
    divider();
    rows->addWidget(m_stats);
    m_export =
        action(QStringLiteral("Export All Clips…"), exportSubtitle, QStringLiteral("square.and.arrow.up.on.square"),
               QStringLiteral("Export"), false, &DataActions::exportBackup);
    m_import =
        action(QStringLiteral("Import Backup…"), importSubtitle, QStringLiteral("square.and.arrow.down.on.square"),
               QStringLiteral("Import"), false, &DataActions::importBackup);
    m_page = action(QStringLiteral("Import Page…"), pageSubtitle, QStringLiteral("tray.and.arrow.down"),
                    QStringLiteral("Import"), false, &DataActions::importPage);
    m_json = action(QStringLiteral("Export JSON"), QStringLiteral("Save clips and pages to a local archive."),
                    QStringLiteral("square.and.arrow.up"), QStringLiteral("Export"), false, &DataActions::exportJson);
    m_clear = action(QStringLiteral("Clear Unsaved History"), QStringLiteral("Pinned clips and saved pages are kept."),
                     QStringLiteral("trash"), QStringLiteral("Clear"), true, &DataActions::askToClearHistory);

    connect(&m_actions, &DataActions::changed, this, &DataPane::refresh);
    m_actions.refreshStorageText();
    refresh();
}

void DataPane::refresh()
{
    m_storage->setText(m_actions.storageText());
    setBusy(m_export, m_actions.isExportingBackup(), exportSubtitle, QStringLiteral("Encoding backup…"),
            QStringLiteral("Export"), QStringLiteral("Exporting…"));
    setBusy(m_import, m_actions.isImportingBackup(), importSubtitle, QStringLiteral("Reading backup…"),
            QStringLiteral("Import"), QStringLiteral("Importing…"));
    setBusy(m_page, m_actions.isImportingPage(), pageSubtitle, QStringLiteral("Reading Page file…"),
            QStringLiteral("Import"), QStringLiteral("Importing…"));
}

DataActions::Interaction dataDialogs(QWidget *parent)
{
    const QPointer<QWidget> owner(parent);
    auto documents = [] { return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation); };
    DataActions::Interaction interaction;
    interaction.chooseBackupDestination = [owner, documents](const QString &name) -> std::optional<QString> {
        QFileDialog dialog(owner, QStringLiteral("Export All Clips"), QDir(documents()).filePath(name),
                           QStringLiteral("Brindlewax backup (*.%1)").arg(backup::fileExtension));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Export"));
        dialog.setDefaultSuffix(backup::fileExtension);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
    auto open = [owner, documents](const QString &title, const QStringList &filters) -> std::optional<QString> {
        QFileDialog dialog(owner, title, documents());
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Import"));
        // Any file may be picked; the readers turn away what is not theirs.
        dialog.setNameFilters(filters);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
    interaction.chooseBackupToImport = [open] {
        return open(
            QStringLiteral("Import Backup"),
            {QStringLiteral("All files (*)"), QStringLiteral("Brindlewax backup (*.%1)").arg(backup::fileExtension)});
    };
    interaction.choosePageToImport = [open] {
        return open(QStringLiteral("Import Page"),
                    {QStringLiteral("All files (*)"),
                     QStringLiteral("Brindlewax Page (*.%1 *.json)").arg(pagefile::fileExtension)});
    };
    interaction.jsonExport = jsonexport::dialogInteraction();
    return interaction;
}

} // namespace quillmere
