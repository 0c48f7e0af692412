#pragma once

#include <QList>
#include <QUrl>
#include <QWidget>
#include <functional>

class QMimeData;
class QVBoxLayout;

namespace quillmere {

// The panel's content: the space under the notch, then the history view. Files dropped anywhere
// on it go to the drop handler.
class PanelDropContainerView : public QWidget {
    Q_OBJECT
public:
    using DropHandler = std::function<bool(const QList<QUrl> &)>;

    explicit PanelDropContainerView(QWidget *parent = nullptr);

    void setDropHandler(DropHandler handler) { m_onDrop = std::move(handler); }
    void setContentView(QWidget *view);
    // The height kept free above the content, where the notch or the desktop's bar is.
    void setTopInset(int height);
    bool isDropTargeted() const { return m_isDropTargeted; }

    // The local files among the URLs of a drag; other URLs are no files to keep.
    static QList<QUrl> localFiles(const QMimeData *mime);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void setTargeted(bool targeted);

    DropHandler m_onDrop;
    QVBoxLayout *m_layout;
    QWidget *m_inset;
    bool m_isDropTargeted = false;
};

} // namespace quillmere
