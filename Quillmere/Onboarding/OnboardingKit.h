#pragma once

#include "Quillmere/Onboarding/OnboardingStep.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QWidget>

namespace quillmere {

// The setup guide's own small kit, in one fixed dark look. The pieces keep no state beyond what
// they are given; the flow decides selection and completion.

QLabel *makeOnboardingLabel(const QString &text, double size, QFont::Weight weight, const QColor &colour,
                            bool wraps = false, QWidget *parent = nullptr);
void setOnboardingLabelColour(QLabel *label, const QColor &colour);

class OnboardingIconBadge : public QWidget {
    Q_OBJECT
public:
    OnboardingIconBadge(const QString &systemImage, const QColor &tint, QWidget *parent = nullptr);
    void set(const QString &systemImage, const QColor &tint);
    const QString &systemImage() const { return m_symbol; }
    const QColor &tint() const { return m_tint; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbol;
    QColor m_tint;
};

class OnboardingStatusPill : public QWidget {
    Q_OBJECT
public:
    OnboardingStatusPill(const QString &title, const QString &systemImage, const QColor &colour,
                         QWidget *parent = nullptr);
    void set(const QString &title, const QString &systemImage, const QColor &colour);
    const QString &title() const { return m_title; }
    const QString &systemImage() const { return m_symbol; }
    const QColor &colour() const { return m_colour; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_title;
    QString m_symbol;
    QColor m_colour;
};

// A capsule push button in the guide's button style; pressing changes only its fill.
class OnboardingButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Kind : quint8 { normal, primary };
    OnboardingButton(const QString &title, Kind kind, QWidget *parent = nullptr);
    Kind kind() const { return m_kind; }
    QSize sizeHint() const override;
    // The capsule's fill for a kind, pressed or not.
    static QColor fill(Kind kind, bool pressed);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    Kind m_kind;
};

// One step of the sidebar; a click anywhere in its rounded rectangle chooses it. No hover look.
class OnboardingStepButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit OnboardingStepButton(OnboardingStep step, QWidget *parent = nullptr);
    OnboardingStep step() const { return m_step; }
    void setState(bool selected, bool complete);
    bool isSelected() const { return m_selected; }
    bool isComplete() const { return m_complete; }
    // What the entry draws for its state.
    QString glyph() const;
    QColor glyphColour() const;
    QColor titleColour() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    OnboardingStep m_step;
    bool m_selected = false;
    bool m_complete = false;
};

// A card row: badge, title and a subtitle that wraps as far as it needs, then the caller's
// accessory at least 16 pt away.
class OnboardingSettingRow : public QWidget {
    Q_OBJECT
public:
    OnboardingSettingRow(const QString &title, const QString &subtitle, const QString &systemImage, const QColor &tint,
                         QWidget *accessory = nullptr, QWidget *parent = nullptr);
    void set(const QString &title, const QString &subtitle, const QString &systemImage, const QColor &tint);
    QString title() const { return m_title->text(); }
    QString subtitle() const { return m_subtitle->text(); }
    OnboardingIconBadge *badge() const { return m_badge; }
    QWidget *accessory() const { return m_accessory; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    OnboardingIconBadge *m_badge;
    QLabel *m_title;
    QLabel *m_subtitle;
    QWidget *m_accessory;
};

class OnboardingInfoRow : public OnboardingSettingRow {
    Q_OBJECT
public:
    OnboardingInfoRow(const QString &title, const QString &subtitle, const QString &systemImage, const QColor &tint,
                      QWidget *parent = nullptr);
};

// The value shows twice: as the row's second line and in its pill.
class SummaryRow : public OnboardingSettingRow {
    Q_OBJECT
public:
    SummaryRow(const QString &title, const QString &value, const QString &systemImage, const QColor &tint,
               QWidget *parent = nullptr);
    void set(const QString &title, const QString &value, const QString &systemImage, const QColor &tint);
    OnboardingStatusPill *pill() const { return m_pill; }

private:
    OnboardingStatusPill *m_pill;
};

// An on/off switch in the guide's accent.
class OnboardingSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit OnboardingSwitch(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {40, 24}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A menu picker whose entries carry their stored value.
class OnboardingPicker : public QComboBox {
    Q_OBJECT
public:
    OnboardingPicker(const std::vector<std::pair<QString, QString>> &entries, int width, QWidget *parent = nullptr);
    // Shows the entry of `value` without a `picked`.
    void select(const QString &value);
    QString selectedValue() const { return currentData().toString(); }

Q_SIGNALS:
    // Only for choices the user makes.
    void picked(const QString &value);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace quillmere
