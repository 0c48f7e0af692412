#pragma once

#include <QWidget>

class QLabel;
class QListWidget;
class QStackedWidget;

namespace quillmere {

class HistoryViewModel;
struct ClipSnapshot;

// A plain rendering of the history view model: a header naming the tab (or the search), and the
// navigable clips in one row with the selection marked. Clicks select, double clicks paste; the
// keyboard is the panel's.
class HistoryListView : public QWidget {
    Q_OBJECT
public:
    explicit HistoryListView(HistoryViewModel &model, QWidget *parent = nullptr);

    // The one line a clip shows as.
    static QString cardText(const ClipSnapshot &clip);
    QListWidget *list() const { return m_list; }
    QLabel *header() const { return m_header; }

private:
    void refresh();
    int navigableIndexOfRow(int row) const;

    HistoryViewModel &m_model;
    QLabel *m_header;
    QStackedWidget *m_body;
    QListWidget *m_list;
    QLabel *m_empty;
    QStringList m_shownTexts;
    int m_relatedStartRow = -1;
};

} // namespace quillmere
