#pragma once

#include "Quillmere/Onboarding/OnboardingContent.h"
#include "Quillmere/Onboarding/OnboardingKit.h"

#include <QWidget>
#include <vector>

class QVBoxLayout;

namespace quillmere {

class OnboardingFlow;

// A row's trailing slot that shows a pill or a button, as the content says.
class OnboardingAccessorySlot : public QWidget {
    Q_OBJECT
public:
    explicit OnboardingAccessorySlot(QWidget *parent = nullptr);
    void set(const OnboardingContent::Accessory &accessory);
    OnboardingStatusPill *pill() const { return m_pill; }
    OnboardingButton *button() const { return m_button; }

Q_SIGNALS:
    void clicked();

private:
    OnboardingStatusPill *m_pill;
    OnboardingButton *m_button;
};

// One step's page: the header's three texts above a column of rows. Each page reads the flow
// again on every change and keeps nothing of its own.
class OnboardingPage : public QWidget {
    Q_OBJECT
public:
    OnboardingPage(OnboardingFlow &flow, OnboardingStep step, QWidget *parent = nullptr);
    OnboardingStep step() const { return m_step; }
    virtual void refresh() {}

protected:
    QVBoxLayout *body() const { return m_body; }
    OnboardingSettingRow *addRow(const OnboardingContent::Row &row, QWidget *accessory = nullptr);
    OnboardingFlow &m_flow;

private:
    OnboardingStep m_step;
    QVBoxLayout *m_body;
};

class OnboardingPrivacyPage : public OnboardingPage {
    Q_OBJECT
public:
    OnboardingPrivacyPage(OnboardingFlow &flow, QWidget *parent = nullptr);
    void refresh() override;
    OnboardingSettingRow *captureRow() const { return m_capture; }
    OnboardingSwitch *captureSwitch() const { return m_switch; }
    OnboardingButton *startButton() const { return m_start; }
    OnboardingButton *keepPausedButton() const { return m_keepPaused; }

private:
    OnboardingSettingRow *m_capture;
    OnboardingSwitch *m_switch;
    OnboardingButton *m_start;
    OnboardingButton *m_keepPaused;
};

class OnboardingPermissionsPage : public OnboardingPage {
    Q_OBJECT
public:
    OnboardingPermissionsPage(OnboardingFlow &flow, QWidget *parent = nullptr);
    void refresh() override;
    OnboardingSettingRow *screenRow() const { return m_screen; }
    OnboardingSettingRow *accessibilityRow() const { return m_accessibility; }
    OnboardingAccessorySlot *screenSlot() const { return m_screenSlot; }
    OnboardingAccessorySlot *accessibilitySlot() const { return m_accessibilitySlot; }

private:
    OnboardingSettingRow *m_screen;
    OnboardingSettingRow *m_accessibility;
    OnboardingAccessorySlot *m_screenSlot;
    OnboardingAccessorySlot *m_accessibilitySlot;
};

class OnboardingSyncPage : public OnboardingPage {
    Q_OBJECT
public:
    OnboardingSyncPage(OnboardingFlow &flow, QWidget *parent = nullptr);
    void refresh() override;
    OnboardingSettingRow *cloudRow() const { return m_cloud; }
    OnboardingStatusPill *cloudPill() const { return m_cloudPill; }
    OnboardingSettingRow *freshnessRow() const { return m_freshness; }
    OnboardingButton *refreshButton() const { return m_refresh; }

private:
    OnboardingSettingRow *m_cloud;
    OnboardingStatusPill *m_cloudPill;
    OnboardingSettingRow *m_freshness;
    OnboardingButton *m_refresh;
};

class OnboardingHotkeyPage : public OnboardingPage {
    Q_OBJECT
public:
    OnboardingHotkeyPage(OnboardingFlow &flow, QWidget *parent = nullptr);
    void refresh() override;
    OnboardingPicker *picker() const { return m_picker; }

private:
    OnboardingPicker *m_picker;
};

class OnboardingReadyPage : public OnboardingPage {
    Q_OBJECT
public:
    OnboardingReadyPage(OnboardingFlow &flow, QWidget *parent = nullptr);
    void refresh() override;
    const std::vector<SummaryRow *> &rows() const { return m_rows; }

private:
    std::vector<SummaryRow *> m_rows;
};

} // namespace quillmere
