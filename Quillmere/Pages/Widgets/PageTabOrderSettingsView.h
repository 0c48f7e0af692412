#pragma once

#include "Quillmere/Pages/PageTabActions.h"

#include <QWidget>

class QListWidget;
class QPushButton;
class QLabel;

namespace quillmere {

class ClipStore;

// The Tabs pane's content: the Pages in tab order (sort order, then creation date), each moved
// up or down with the buttons; every move numbers the Pages 0, 1, 2... again and saves. Follows
// changes made elsewhere.
class PageTabOrderSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit PageTabOrderSettingsView(ClipStore &store, QWidget *parent = nullptr);

    QListWidget *list() const { return m_list; }
    QPushButton *moveUpButton() const { return m_up; }
    QPushButton *moveDownButton() const { return m_down; }

    void moveSelected(int offset);

private:
    void reload();
    void updateButtons();

    PageTabActions m_actions;
    std::vector<PageSnapshot> m_pages;
    QListWidget *m_list;
    QLabel *m_empty;
    QPushButton *m_up;
    QPushButton *m_down;
};

} // namespace quillmere
