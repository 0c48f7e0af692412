#include "Quillmere/Settings/Core/DataActions.h"

#include "Quillmere/Archive/ArchiveImport.h"
#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Archive/StorageStats.h"
#include "Quillmere/Archive/StoreMaintenance.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Settings/Core/SettingsViewModel.h"

#include <QFileInfo>

namespace quillmere {

DataActions::DataActions(SettingsViewModel &model, Interaction interaction, std::optional<QString> appVersion,
                         QObject *parent)
    : QObject(parent), m_model(model), m_interaction(std::move(interaction)), m_appVersion(backupAppVersion(appVersion))
{
    connect(&m_model, &SettingsViewModel::historyChanged, this, &DataActions::refreshStorageText);
    refreshStorageText();
}

QString DataActions::backupAppVersion(const std::optional<QString> &shortVersion)
{
    return shortVersion.value_or(QStringLiteral("\u2014"));
}

QString DataActions::exportMessage(int clipCount, const QString &fileName)
{
    return QStringLiteral("Exported %1 clip%2 to %3.")
        .arg(QString::number(clipCount), clipCount == 1 ? QString() : QStringLiteral("s"), fileName);
}

QString DataActions::importMessage(int imported, int skipped)
{
    return QStringLiteral("%1 imported, %2 duplicate%3 skipped.")
        .arg(QString::number(imported), QString::number(skipped), skipped == 1 ? QString() : QStringLiteral("s"));
}

QString DataActions::pageImportMessage(const QString &displayName, int clipCount)
{
    return QStringLiteral("Imported \"%1\" with %2 clip%3.")
        .arg(displayName, QString::number(clipCount), clipCount == 1 ? QString() : QStringLiteral("s"));
}

QString DataActions::storageText(qint64 storeBytes, const StoreBesideFiles::SetAside &setAside)
{
    const QString store = storageByteText(std::max<qint64>(0, storeBytes));
    if (setAside.histories <= 0)
        return store;
    return QStringLiteral("%1, and %2 in %3 set aside beside it")
        .arg(store, storageByteText(setAside.bytes),
             setAside.histories == 1 ? QStringLiteral("1 earlier history")
                                     : QStringLiteral("%1 earlier histories").arg(setAside.histories));
}

void DataActions::refreshStorageText()
{
    const qint64 storeBytes = storeFootprintBytes(m_model.store());
    setStorageText(storageText(storeBytes, m_setAside));
    // Histories set aside by a salvage or a replaced store pile up beside it unseen otherwise.
    const QString path = m_model.store().container().storeURL();
    if (path.isEmpty())
        return;
    inBackground(
        this, [path] { return StoreBesideFiles::setAsideFiles(path); },
        [this, storeBytes](const StoreBesideFiles::SetAside &setAside) {
            m_setAside = setAside;
            setStorageText(storageText(storeBytes, setAside));
        });
}

void DataActions::setStorageText(const QString &text)
{
    if (text == m_storageText)
        return;
    m_storageText = text;
    Q_EMIT changed();
}

void DataActions::setShowingStorageDashboard(bool showing)
{
    if (m_showingDashboard == showing)
        return;
    m_showingDashboard = showing;
    Q_EMIT changed();
}

void DataActions::exportBackup()
{
    if (m_exportingBackup || !m_interaction.chooseBackupDestination || refusedForRepair())
        return;
    const QDate today = m_interaction.clock().toLocalTime().date();
    const std::optional<QString> path = m_interaction.chooseBackupDestination(backup::suggestedFileName(today));
    if (!path)
        return;
    // Taken now, so later changes to the history stay out of the file; images and files are read
    // in the background.
    ClipStore &store = m_model.store();
    const std::vector<ClipRef> clips = store.context().clipsNewestFirst();
    if (refusedForRepair())
        return;
    m_exportingBackup = true;
    Q_EMIT changed();
    backup::Snapshot snapshot =
        backup::Snapshot::take(clips, store.pages(), m_interaction.clock(), m_appVersion, store.container().storeURL());
    const QString fileName = QFileInfo(*path).fileName();
    backup::writeFileInBackground(*path, std::move(snapshot), this,
                                  [this, fileName](ArchiveResult<qint64, QString> written) {
                                      m_exportingBackup = false;
                                      Q_EMIT changed();
                                      if (!written)
                                          m_model.showBackupError(written.error());
                                      else
                                          m_model.showBackupResult(exportMessage(int(written.value()), fileName));
                                      Q_EMIT settled();
                                  });
}

void DataActions::importBackup()
{
    if (m_importingBackup || !m_interaction.chooseBackupToImport)
        return;
    const std::optional<QString> path = m_interaction.chooseBackupToImport();
    if (!path)
        return;
    m_importingBackup = true;
    Q_EMIT changed();
    using Read = ArchiveResult<archive::PreparedArchive, ClipArchiveError>;
    inBackground(
        this,
        [path = *path]() -> Read {
            ClipArchiveReadResult read = backup::readFile(path);
            if (!read.ok())
                return read.error();
            return archive::prepareArchive(std::move(read).value());
        },
        [this](Read read) {
            m_importingBackup = false;
            Q_EMIT changed();
            if (!read.ok()) {
                m_model.showBackupError(read.error().errorDescription());
            } else if (const auto result = archive::importArchive(m_model.store(), read.value())) {
                m_model.noteImport();
                refreshStorageText();
                m_model.showBackupResult(importMessage(result->inserted, result->skipped));
            } else {
                // The import saves all or nothing: the history is as it was.
                m_model.showBackupError(QStringLiteral(
                    "The backup could not be restored; nothing was imported. The history is unchanged."));
            }
            Q_EMIT settled();
        });
}

void DataActions::importPage()
{
    if (m_importingPage || !m_interaction.choosePageToImport)
        return;
    const std::optional<QString> path = m_interaction.choosePageToImport();
    if (!path)
        return;
    m_importingPage = true;
    Q_EMIT changed();
    pagefile::readFileInBackground(*path, this, [this](ArchiveResult<PageArchive, PageArchiveError> read) {
        m_importingPage = false;
        Q_EMIT changed();
        if (!read.ok()) {
            m_model.showBackupError(read.error().userMessage());
        } else if (const PageRef page = archive::importPage(m_model.store(), read.value())) {
            m_model.noteImport();
            refreshStorageText();
            m_model.showBackupResult(pageImportMessage(page->displayName(), int(page->items().size())));
        } else {
            m_model.showBackupError(pageImportFailed);
        }
        Q_EMIT settled();
    });
}

void DataActions::exportJson()
{
    ClipStore &store = m_model.store();
    const std::vector<ClipRef> clips = store.context().clipsNewestFirst();
    if (refusedForRepair())
        return;
    jsonexport::exportWithSavePanel(clips, store.pages(), m_interaction.jsonExport);
}

bool DataActions::refusedForRepair()
{
    // A history read in part would be exported as if whole.
    if (!m_model.store().isBeingRepaired())
        return false;
    m_model.showBackupError(StoreDamage::damageMessage());
    return true;
}

void DataActions::askToClearHistory()
{
    m_model.askToClearHistory();
}

} // namespace quillmere
