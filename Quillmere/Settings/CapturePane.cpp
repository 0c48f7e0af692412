#include "Quillmere/Settings/CapturePane.h"

#include "Quillmere/Settings/SettingsPalette.h"
#include "Quillmere/Settings/ShareUploadSection.h"
#include "Quillmere/Settings/ShortcutRecorderView.h"

#include <QVBoxLayout>

namespace quillmere {

namespace P = SettingsPalette;

CapturePane::CapturePane(Dependencies deps, QWidget *parent)
    : QWidget(parent), m_model(std::make_unique<CaptureSettingsModel>(std::move(deps.capture)))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);

    m_card = new SettingsSection(QStringLiteral("Capture"), QStringLiteral("camera.viewfinder"), this);
    QVBoxLayout *rows = m_card->content();
    bool first = true;
    for (const CaptureSettingsModel::Row &entry : CaptureSettingsModel::rows()) {
        if (!first)
            rows->addWidget(new SettingsDivider(m_card));
        first = false;
        const CaptureAction action = entry.action;
        auto *recorder = new ShortcutRecorderView(
            m_model->shortcut(action),
            [this, action](std::optional<CaptureShortcut> shortcut) { m_model->setShortcut(shortcut, action); },
            deps.keysyms, m_card, deps.suspendHotKeys);
        m_recorders[action] = recorder;
        m_rows[action] = new SettingsRow(entry.title, entry.subtitle, entry.systemImage, recorder, m_card);
        rows->addWidget(m_rows[action]);
        recorder->setOnReservedRefused([this, action](CaptureShortcut taken) {
            m_rows[action]->setSubtitle(CaptureSettingsModel::takenByProgramText(taken));
            m_rows[action]->setSubtitleWarns(true);
        });
    }

    m_output = new MenuPicker(150, m_card);
    QList<std::pair<QString, QVariant>> outputs;
    for (ScreenshotClipboardOutput output :
         {ScreenshotClipboardOutput::screenshot, ScreenshotClipboardOutput::shareLink})
        outputs.append({CaptureSettingsModel::title(output), rawValue(output)});
    m_output->setEntries(outputs);
    connect(m_output, &MenuPicker::picked, this, [this](const QVariant &value) {
        m_model->setScreenshotClipboardOutput(value.toString() == QLatin1String("shareLink")
                                                  ? ScreenshotClipboardOutput::shareLink
                                                  : ScreenshotClipboardOutput::screenshot);
    });
    m_afterRow = new SettingsRow(QStringLiteral("After screenshot"), {}, {}, m_output, m_card);
    rows->addWidget(m_afterRow);

    m_position = new MenuPicker(130, m_card);
    QList<std::pair<QString, QVariant>> corners;
    for (CaptureOverlayPosition position : allCaptureOverlayPositions())
        corners.append({title(position), rawValue(position)});
    m_position->setEntries(corners);
    connect(m_position, &MenuPicker::picked, this, [this](const QVariant &value) {
        if (const auto position = captureOverlayPositionFromRaw(value.toString()))
            m_model->setOverlayPosition(*position);
    });
    rows->addWidget(new SettingsRow(QStringLiteral("Preview position"),
                                    QStringLiteral("Corner where the post-capture thumbnail slides in."),
                                    QStringLiteral("rectangle.inset.bottomleft.filled"), m_position, m_card));

    m_toast = new SwitchToggle(m_card);
    connect(m_toast, &QAbstractButton::clicked, this, [this](bool on) { m_model->setToastEnabled(on); });
    rows->addWidget(new SettingsRow(
        QStringLiteral("Capture notifications"),
        QStringLiteral("Slide a toast from the top of the screen when you capture a screenshot, text, or recording."),
        QStringLiteral("bell.badge"), m_toast, m_card));

    m_conflictDivider = new SettingsDivider(m_card);
    rows->addWidget(m_conflictDivider);
    m_conflict = new MessageRow({}, QStringLiteral("exclamationmark.triangle.fill"), MessageRow::Role::info, m_card);
    rows->addWidget(m_conflict);
    column->addWidget(m_card);

    QLabel *note = makeLabel(footnote, 11, QFont::Medium, P::tertiaryText(), true, this);
    note->setContentsMargins(4, 0, 4, 0);
    column->addWidget(note);

    const bool managedServiceBuilt = ManagedCloudConfiguration::fromBundle(deps.cloud.bundleInfo).has_value();
    m_share = new ShareUploadSection(*m_model->preferences(), *deps.keyring, managedServiceBuilt, this);
    column->addWidget(m_share);
    // Nothing is offered that the build does not have.
    if (managedServiceBuilt) {
        m_cloud = new ManagedCloudSetupView(std::move(deps.cloud), this);
        column->addWidget(m_cloud);
    }

    connect(m_model.get(), &CaptureSettingsModel::changed, this, &CapturePane::refresh);
    refresh();
}

void CapturePane::refresh()
{
    for (const CaptureSettingsModel::Row &entry : CaptureSettingsModel::rows()) {
        m_recorders[entry.action]->setShortcut(m_model->shortcut(entry.action));
        const QString refusal = m_model->refusalText(entry.action);
        m_rows[entry.action]->setSubtitle(refusal.isEmpty() ? entry.subtitle : refusal);
        m_rows[entry.action]->setSubtitleWarns(!refusal.isEmpty());
    }
    const ScreenshotClipboardOutput output = m_model->screenshotClipboardOutput();
    m_output->select(rawValue(output));
    m_afterRow->setSubtitle(CaptureSettingsModel::afterScreenshotSubtitle(output));
    m_afterRow->setSystemImage(CaptureSettingsModel::afterScreenshotSymbol(output));
    m_position->select(rawValue(m_model->overlayPosition()));
    {
        const QSignalBlocker blocker(m_toast);
        m_toast->setChecked(m_model->toastEnabled());
    }
    const QString conflict = m_model->conflictMessage();
    m_conflict->setMessage(conflict);
    m_conflict->setVisible(!conflict.isEmpty());
    m_conflictDivider->setVisible(!conflict.isEmpty());
}

} // namespace quillmere
