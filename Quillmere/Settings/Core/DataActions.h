#pragma once

#include "Quillmere/Archive/JsonExport.h"
#include "Quillmere/Model/StoreBesideFiles.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <optional>

namespace quillmere {

class SettingsViewModel;

// What the Data pane's buttons do, with no widget in sight. File work runs on the thread pool and
// reports back here; the store is touched on this thread only. Results and failures go to the
// window's two alerts through the view-model.
class DataActions : public QObject {
    Q_OBJECT
public:
    // The file dialogs; tests answer them. None: the user cancelled.
    struct Interaction {
        std::function<std::optional<QString>(const QString &suggestedName)> chooseBackupDestination;
        std::function<std::optional<QString>()> chooseBackupToImport;
        std::function<std::optional<QString>()> choosePageToImport;
        jsonexport::ExportInteraction jsonExport;
        Clock clock = systemClock();
    };

    static inline const QString pageImportFailed = QStringLiteral("Could not import this page.");

    DataActions(SettingsViewModel &model, Interaction interaction, std::optional<QString> appVersion,
                QObject *parent = nullptr);

    QString storageText() const { return m_storageText; }
    // The store's size now; what is set aside beside it follows from a worker.
    void refreshStorageText();
    static QString storageText(qint64 storeBytes, const StoreBesideFiles::SetAside &setAside);

    bool isExportingBackup() const { return m_exportingBackup; }
    bool isImportingBackup() const { return m_importingBackup; }
    bool isImportingPage() const { return m_importingPage; }
    bool isBusy() const { return m_exportingBackup || m_importingBackup || m_importingPage; }

    bool isShowingStorageDashboard() const { return m_showingDashboard; }
    void setShowingStorageDashboard(bool showing);

    void exportBackup();
    void importBackup();
    void importPage();
    void exportJson();
    void askToClearHistory();

    // "—" when the program has no version text.
    static QString backupAppVersion(const std::optional<QString> &shortVersion);
    static QString exportMessage(int clipCount, const QString &fileName);
    static QString importMessage(int imported, int skipped);
    static QString pageImportMessage(const QString &displayName, int clipCount);

Q_SIGNALS:
    void changed();
    // A background step has come back; tests wait for it.
    void settled();

private:
    // Shows why an export cannot run while the history is being repaired; true then.
    bool refusedForRepair();
    void setStorageText(const QString &text);

    SettingsViewModel &m_model;
    Interaction m_interaction;
    QString m_appVersion;
    QString m_storageText;
    // As last read: shown with the store's size until read again.
    StoreBesideFiles::SetAside m_setAside;
    bool m_exportingBackup = false;
    bool m_importingBackup = false;
    bool m_importingPage = false;
    bool m_showingDashboard = false;
};

} // namespace quillmere
