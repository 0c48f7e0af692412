#pragma once

#include "Quillmere/Panel/Window/FileDropView.h"

class QVBoxLayout;

namespace quillmere {

// The panel's content: the space under the notch, then the history view. Files dropped anywhere
// on it go to the drop handler.
class PanelDropContainerView : public FileDropView {
    Q_OBJECT
public:
    explicit PanelDropContainerView(QWidget *parent = nullptr);

    void setContentView(QWidget *view);
    // The height kept free above the content, where the notch or the desktop's bar is.
    void setTopInset(int height);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_layout;
    QWidget *m_inset;
};

} // namespace quillmere
