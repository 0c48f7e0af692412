#include "Quillmere/Onboarding/OnboardingPages.h"

#include "Quillmere/Onboarding/OnboardingFlow.h"
#include "Quillmere/Onboarding/OnboardingPalette.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace quillmere {

namespace P = OnboardingPalette;
using Kind = OnboardingButton::Kind;

// ---- Accessory slot ----------------------------------------------------------------------------

OnboardingAccessorySlot::OnboardingAccessorySlot(QWidget *parent) : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    m_pill = new OnboardingStatusPill({}, {}, P::green(), this);
    m_button = new OnboardingButton({}, Kind::primary, this);
    row->addWidget(m_pill);
    row->addWidget(m_button);
    connect(m_button, &QAbstractButton::clicked, this, &OnboardingAccessorySlot::clicked);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OnboardingAccessorySlot::set(const OnboardingContent::Accessory &accessory)
{
    using K = OnboardingContent::Accessory::Kind;
    const bool focused = m_button->hasFocus();
    m_pill->setVisible(accessory.kind == K::pill);
    m_button->setVisible(accessory.kind == K::button);
    if (accessory.kind == K::pill)
        m_pill->set(accessory.title, accessory.systemImage, accessory.colour);
    if (accessory.kind == K::button && m_button->text() != accessory.title) {
        m_button->setText(accessory.title);
        m_button->updateGeometry();
    }
    // A granted permission takes its button away; the keyboard lands on the next control.
    if (focused && !m_button->isVisible())
        focusNextChild();
}

// ---- Page frame --------------------------------------------------------------------------------

OnboardingPage::OnboardingPage(OnboardingFlow &flow, OnboardingStep step, QWidget *parent)
    : QWidget(parent), m_flow(flow), m_step(step)
{
    const OnboardingContent::Header header = OnboardingContent::header(step);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(6);
    texts->addWidget(makeOnboardingLabel(header.eyebrow.toUpper(), 12, QFont::Bold, P::accent(), false, this));
    texts->addWidget(makeOnboardingLabel(header.title, 26, QFont::Bold, P::primaryText(), true, this));
    auto *subtitle = makeOnboardingLabel(header.subtitle, 13.5, QFont::Medium, P::secondaryText(), true, this);
    // Two points of line spacing.
    subtitle->setTextFormat(Qt::RichText);
    subtitle->setText(
        QStringLiteral("<div style=\"line-height: 120%;\">%1</div>").arg(header.subtitle.toHtmlEscaped()));
    texts->addWidget(subtitle);
    column->addLayout(texts);
    column->addSpacing(4 + 20);
    m_body = new QVBoxLayout;
    m_body->setSpacing(12);
    column->addLayout(m_body);
    column->addStretch(1);
}

OnboardingSettingRow *OnboardingPage::addRow(const OnboardingContent::Row &row, QWidget *accessory)
{
    auto *widget = new OnboardingSettingRow(row.title, row.subtitle, row.systemImage, row.tint, accessory, this);
    m_body->addWidget(widget);
    return widget;
}

// ---- Privacy -----------------------------------------------------------------------------------

OnboardingPrivacyPage::OnboardingPrivacyPage(OnboardingFlow &flow, QWidget *parent)
    : OnboardingPage(flow, OnboardingStep::privacy, parent)
{
    m_switch = new OnboardingSwitch;
    m_switch->setAccessibleName(QStringLiteral("Clipboard Capture"));
    connect(m_switch, &QAbstractButton::clicked, this, [this](bool on) { m_flow.setCaptureOn(on); });
    m_capture = addRow(OnboardingContent::captureRow(flow), m_switch);
    const auto info = OnboardingContent::privateByDefaultRow();
    body()->addWidget(new OnboardingInfoRow(info.title, info.subtitle, info.systemImage, info.tint, this));

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 6, 0, 0);
    buttons->setSpacing(10);
    m_start = new OnboardingButton(QStringLiteral("Start Capture"), Kind::primary, this);
    m_keepPaused = new OnboardingButton(QStringLiteral("Keep Paused"), Kind::normal, this);
    connect(m_start, &QAbstractButton::clicked, this, [this] { m_flow.setCapturePaused(false); });
    connect(m_keepPaused, &QAbstractButton::clicked, this, [this] { m_flow.setCapturePaused(true); });
    buttons->addWidget(m_start);
    buttons->addWidget(m_keepPaused);
    buttons->addStretch(1);
    body()->addLayout(buttons);
    refresh();
}

void OnboardingPrivacyPage::refresh()
{
    const auto row = OnboardingContent::captureRow(m_flow);
    m_capture->set(row.title, row.subtitle, row.systemImage, row.tint);
    m_switch->setChecked(!m_flow.isCapturePaused());
}

// ---- Permissions -------------------------------------------------------------------------------

OnboardingPermissionsPage::OnboardingPermissionsPage(OnboardingFlow &flow, QWidget *parent)
    : OnboardingPage(flow, OnboardingStep::permissions, parent)
{
    m_screenSlot = new OnboardingAccessorySlot;
    m_accessibilitySlot = new OnboardingAccessorySlot;
    connect(m_screenSlot, &OnboardingAccessorySlot::clicked, this, [this] { m_flow.requestScreenCaptureAccess(); });
    connect(m_accessibilitySlot, &OnboardingAccessorySlot::clicked, this,
            [this] { m_flow.requestAccessibilityTrust(); });
    m_screen = addRow(OnboardingContent::screenCaptureRow(flow), m_screenSlot);
    m_accessibility = addRow(OnboardingContent::accessibilityRow(flow), m_accessibilitySlot);
    const auto info = OnboardingContent::purposeRow();
    body()->addWidget(new OnboardingInfoRow(info.title, info.subtitle, info.systemImage, info.tint, this));
    refresh();
}

void OnboardingPermissionsPage::refresh()
{
    const auto screen = OnboardingContent::screenCaptureRow(m_flow);
    m_screen->set(screen.title, screen.subtitle, screen.systemImage, screen.tint);
    m_screenSlot->set(screen.accessory);
    const auto access = OnboardingContent::accessibilityRow(m_flow);
    m_accessibility->set(access.title, access.subtitle, access.systemImage, access.tint);
    m_accessibilitySlot->set(access.accessory);
}

// ---- Sync --------------------------------------------------------------------------------------

OnboardingSyncPage::OnboardingSyncPage(OnboardingFlow &flow, QWidget *parent)
    : OnboardingPage(flow, OnboardingStep::sync, parent)
{
    const auto cloud = OnboardingContent::cloudRow(flow);
    m_cloudPill = new OnboardingStatusPill(cloud.accessory.title, cloud.accessory.systemImage, cloud.accessory.colour);
    m_cloud = addRow(cloud, m_cloudPill);
    m_refresh = new OnboardingButton(QStringLiteral("Refresh"), Kind::normal);
    connect(m_refresh, &QAbstractButton::clicked, this, [this] { m_flow.refreshCloudStatus(); });
    m_freshness = addRow(OnboardingContent::freshnessRow(flow), m_refresh);
    refresh();
}

void OnboardingSyncPage::refresh()
{
    const auto cloud = OnboardingContent::cloudRow(m_flow);
    m_cloud->set(cloud.title, cloud.subtitle, cloud.systemImage, cloud.tint);
    m_cloudPill->set(cloud.accessory.title, cloud.accessory.systemImage, cloud.accessory.colour);
    const auto freshness = OnboardingContent::freshnessRow(m_flow);
    m_freshness->set(freshness.title, freshness.subtitle, freshness.systemImage, freshness.tint);
}

// ---- Hotkey ------------------------------------------------------------------------------------

OnboardingHotkeyPage::OnboardingHotkeyPage(OnboardingFlow &flow, QWidget *parent)
    : OnboardingPage(flow, OnboardingStep::hotkey, parent)
{
    m_picker = new OnboardingPicker(OnboardingContent::firstViewChoices(), 160);
    m_picker->setAccessibleName(QStringLiteral("Open hotkey to"));
    connect(m_picker, &OnboardingPicker::picked, this,
            [this](const QString &value) { m_flow.setPanelOpenBehavior(value); });
    addRow(OnboardingContent::openHotkeyRow(), m_picker);
    const auto info = OnboardingContent::coreLoopRow();
    body()->addWidget(new OnboardingInfoRow(info.title, info.subtitle, info.systemImage, info.tint, this));
    refresh();
}

void OnboardingHotkeyPage::refresh()
{
    m_picker->select(m_flow.panelOpenSelection());
}

// ---- Ready -------------------------------------------------------------------------------------

OnboardingReadyPage::OnboardingReadyPage(OnboardingFlow &flow, QWidget *parent)
    : OnboardingPage(flow, OnboardingStep::ready, parent)
{
    for (const auto &line : OnboardingContent::summary(flow)) {
        auto *row = new SummaryRow(line.title, line.value, line.systemImage, line.tint, this);
        body()->addWidget(row);
        m_rows.push_back(row);
    }
}

void OnboardingReadyPage::refresh()
{
    const auto lines = OnboardingContent::summary(m_flow);
    for (size_t i = 0; i < lines.size() && i < m_rows.size(); ++i)
        m_rows[i]->set(lines[i].title, lines[i].value, lines[i].systemImage, lines[i].tint);
}

} // namespace quillmere
