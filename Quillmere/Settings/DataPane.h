#pragma once

#include "Quillmere/Settings/Core/DataActions.h"
#include "Quillmere/Settings/SettingsKit.h"

namespace quillmere {

// The Data pane: the store's size and the six actions on the whole history. The state lives in
// `DataActions`, which outlives the pane.
class DataPane : public SettingsSection {
    Q_OBJECT
public:
    DataPane(DataActions &actions, QWidget *parent = nullptr);

    QLabel *storageLabel() const { return m_storage; }
    ActionRow *statsRow() const { return m_stats; }
    ActionRow *exportRow() const { return m_export; }
    ActionRow *importRow() const { return m_import; }
    ActionRow *pageRow() const { return m_page; }
    ActionRow *jsonRow() const { return m_json; }
    ActionRow *clearRow() const { return m_clear; }

private:
    void refresh();

    DataActions &m_actions;
    QLabel *m_storage;
    ActionRow *m_stats;
    ActionRow *m_export;
    ActionRow *m_import;
    ActionRow *m_page;
    ActionRow *m_json;
    ActionRow *m_clear;
};

// The desktop's file dialogs for the Data actions.
DataActions::Interaction dataDialogs(QWidget *parent);

} // namespace quillmere
