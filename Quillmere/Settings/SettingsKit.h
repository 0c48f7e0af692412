#pragma once

#include "Quillmere/Settings/Core/SettingsPane.h"
#include "Quillmere/Settings/Core/SettingsViewModel.h"
#include "Quillmere/Settings/Glyphs.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

namespace quillmere {

// The small kit every settings pane is built from, drawn in the fixed dark look.

QLabel *makeLabel(const QString &text, double size, QFont::Weight weight, const QColor &colour, bool wraps = false,
                  QWidget *parent = nullptr);
void setLabelColour(QLabel *label, const QColor &colour);

// A capsule button; pressing changes only its fill.
class SettingsButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Kind { normal, destructive, prominent };
    explicit SettingsButton(const QString &title, Kind kind = Kind::normal, QWidget *parent = nullptr);
    Kind kind() const { return m_kind; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Kind m_kind;
};

// An on/off switch tinted with the window's control colour.
class SwitchToggle : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchToggle(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {38, 22}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A menu picker of fixed width whose entries carry their stored value.
class MenuPicker : public QComboBox {
    Q_OBJECT
public:
    MenuPicker(int width, QWidget *parent = nullptr);
    void setEntries(const QList<std::pair<QString, QVariant>> &entries);
    // Selects the entry tagged `value`, or none when no entry has it. Emits nothing.
    void select(const QVariant &value);
    QVariant selectedValue() const { return currentData(); }

Q_SIGNALS:
    // Only for choices the user makes.
    void picked(const QVariant &value);

protected:
    void paintEvent(QPaintEvent *event) override;
};

class IconBadge : public QWidget {
    Q_OBJECT
public:
    explicit IconBadge(const QString &systemImage, QWidget *parent = nullptr);
    void setSymbol(const QString &systemImage);
    const QString &symbol() const { return m_symbol; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbol;
};

class StatusPill : public QWidget {
    Q_OBJECT
public:
    StatusPill(const QString &title, const QString &systemImage, PillStyle style, QWidget *parent = nullptr);
    void set(const QString &title, const QString &systemImage, PillStyle style);
    QString title() const { return m_title; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // The fill or outline colour: white at `neutralOpacity` for neutral, else the style's colour.
    static QColor tint(PillStyle style, double neutralOpacity, double colourOpacity);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_title;
    QString m_symbol;
    PillStyle m_style;
};

// A full-width 1-pt line, inset from the leading edge past the rows' badges.
class SettingsDivider : public QWidget {
    Q_OBJECT
public:
    explicit SettingsDivider(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

class SettingsRow : public QWidget {
    Q_OBJECT
public:
    SettingsRow(const QString &title, const QString &subtitle, const QString &systemImage, QWidget *accessory = nullptr,
                QWidget *parent = nullptr);
    void setSubtitle(const QString &subtitle);
    // A subtitle that warns shows in the warning colour.
    void setSubtitleWarns(bool warns);
    void setSystemImage(const QString &systemImage);
    QString systemImage() const;
    QString title() const;
    QString subtitle() const;
    QWidget *accessory() const { return m_accessory; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    IconBadge *m_badge;
    QLabel *m_title;
    QLabel *m_subtitle;
    QWidget *m_accessory;
};

// A row whose accessory is a button; the click runs at once, without asking.
class ActionRow : public SettingsRow {
    Q_OBJECT
public:
    ActionRow(const QString &title, const QString &subtitle, const QString &systemImage, const QString &buttonTitle,
              bool isDestructive, QWidget *parent = nullptr);
    SettingsButton *button() const { return m_button; }

private:
    SettingsButton *m_button;
};

class MessageRow : public QWidget {
    Q_OBJECT
public:
    enum class Role { warning, info };
    MessageRow(const QString &message, const QString &systemImage, Role role, QWidget *parent = nullptr);
    void setMessage(const QString &message);
    QString message() const { return m_label->text(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Role m_role;
    QLabel *m_label;
};

// A titled card: the header above, the rows inside, one after another without spacing.
class SettingsSection : public QWidget {
    Q_OBJECT
public:
    SettingsSection(const QString &title, const QString &systemImage, QWidget *parent = nullptr);
    QVBoxLayout *content() const { return m_content; }
    QString title() const { return m_title; }

private:
    class Card;
    QString m_title;
    QVBoxLayout *m_content;
};

class SidebarItemButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SidebarItemButton(SettingsPane pane, QWidget *parent = nullptr);
    SettingsPane pane() const { return m_pane; }
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }
    bool isHovering() const { return m_hovering; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    SettingsPane m_pane;
    bool m_selected = false;
    bool m_hovering = false;
};

// A thin bar filled in the accent colour.
class AccentProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit AccentProgressBar(QWidget *parent = nullptr);
    void setProgress(int value, int total);
    double fraction() const { return m_total > 0 ? double(m_value) / m_total : 0; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_value = 0;
    int m_total = 1;
};

class AchievementRow : public QWidget {
    Q_OBJECT
public:
    explicit AchievementRow(const ClipAchievement &achievement, QWidget *parent = nullptr);
    bool isUnlocked() const { return m_unlocked; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_unlocked;
};

} // namespace quillmere
