#pragma once

#include "Quillmere/Settings/Core/SyncActions.h"
#include "Quillmere/Settings/SettingsKit.h"

namespace quillmere {

// At a glance whether sync keeps the history, with the round-trip check behind its button.
class SyncHealthRowView : public QWidget {
    Q_OBJECT
public:
    explicit SyncHealthRowView(SyncActions &actions, QWidget *parent = nullptr);
    void refresh();

    QString header() const { return m_header->text(); }
    // The lines under the header, in order, as shown.
    QStringList lines() const;
    SettingsButton *verifyButton() const { return m_verify; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    SyncActions &m_actions;
    GlyphView *m_symbol;
    QLabel *m_header;
    QLabel *m_lastSynced;
    QLabel *m_roundTrip;
    QLabel *m_failure;
    QLabel *m_audit;
    QLabel *m_counts;
    QLabel *m_message;
    SettingsButton *m_verify;
};

// The Sync pane; its facts are read afresh on every change of the actions or the history.
class SyncPane : public SettingsSection {
    Q_OBJECT
public:
    SyncPane(SyncActions &actions, SettingsViewModel &model, QWidget *parent = nullptr);
    void refresh();

    SyncHealthRowView *healthRow() const { return m_health; }
    SettingsRow *statusRow() const { return m_status; }
    StatusPill *statusPill() const { return m_pill; }
    QLabel *environmentLabel() const { return m_environment; }
    QLabel *freshnessLabel() const { return m_freshness; }
    ActionRow *checkRow() const { return m_check; }
    SettingsRow *latestRow() const { return m_latest; }
    SettingsRow *probesRow() const { return m_probes; }
    ActionRow *createRow() const { return m_create; }
    ActionRow *cleanRow() const { return m_clean; }
    ActionRow *folderRow() const { return m_folder; }

private:
    SyncActions &m_actions;
    SettingsViewModel &m_model;
    SyncHealthRowView *m_health;
    SettingsRow *m_status;
    StatusPill *m_pill;
    QLabel *m_environment;
    QLabel *m_freshness;
    ActionRow *m_check;
    SettingsRow *m_latest;
    SettingsRow *m_probes;
    ActionRow *m_create;
    ActionRow *m_clean;
    ActionRow *m_folder;
    SettingsDivider *m_folderDivider;
};

// The desktop's folder dialog for the sync folder.
std::function<std::optional<QString>(const QString &current)> syncFolderDialog(QWidget *parent);

} // namespace quillmere
