#include "Quillmere/Settings/SyncPane.h"

#include "Quillmere/Settings/SettingsPalette.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

struct LevelLook {
    QString symbol;
    QColor colour;
    QString header;
};

LevelLook look(SyncHealthLevel level)
{
    switch (level) {
    case SyncHealthLevel::healthy:
        return {QStringLiteral("checkmark.icloud"), P::success(), QStringLiteral("Sync healthy")};
    case SyncHealthLevel::warning:
        return {QStringLiteral("exclamationmark.icloud"), P::warning(), QStringLiteral("Sync needs attention")};
    case SyncHealthLevel::critical:
        break;
    }
    return {QStringLiteral("xmark.icloud"), P::danger(), QStringLiteral("History not saved")};
}

void setShown(QLabel *label, const std::optional<QString> &text)
{
    label->setText(text.value_or(QString()));
    label->setVisible(text.has_value());
}

} // namespace

SyncHealthRowView::SyncHealthRowView(SyncActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    m_symbol = new GlyphView(QString(), 15, P::success(), QSize(26, 20), this);
    row->addWidget(m_symbol, 0, Qt::AlignTop);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    m_header = makeLabel(QString(), 13.5, QFont::DemiBold, P::success(), false, this);
    texts->addWidget(m_header);
    auto line = [this, texts](const QColor &colour) {
        QLabel *label = makeLabel(QString(), 11.5, QFont::Medium, colour, true, this);
        texts->addWidget(label);
        return label;
    };
    m_lastSynced = line(P::secondaryText());
    m_roundTrip = line(P::secondaryText());
    m_failure = line(P::warning());
    m_audit = line(P::secondaryText());
    m_counts = line(P::secondaryText());
    m_message = line(P::secondaryText());
    row->addLayout(texts, 1);
    row->addSpacing(12);
    m_verify = new SettingsButton(QStringLiteral("Verify Now"), SettingsButton::Kind::normal, this);
    row->addWidget(m_verify, 0, Qt::AlignTop);
    connect(m_verify, &QAbstractButton::clicked, &m_actions, &SyncActions::verifyNow);
    refresh();
}

void SyncHealthRowView::refresh()
{
    const SyncHealth health = m_actions.health();
    const QDateTime now = m_actions.now();
    const LevelLook level = look(health.level);
    m_symbol->setName(level.symbol);
    m_symbol->setColour(level.colour);
    m_header->setText(level.header);
    setLabelColour(m_header, level.colour);
    m_lastSynced->setText(health.lastSyncedText(now));
    m_roundTrip->setText(health.roundTripText(now));
    setShown(m_failure, health.failureReason);
    m_audit->setText(health.auditText());
    m_counts->setText(
        QStringLiteral("%1 clips · %2 captured today").arg(health.totalClips).arg(health.capturesLast24h));
    setShown(m_message, m_actions.verifyMessage());
    m_verify->setText(m_actions.isVerifying() ? QStringLiteral("Verifying…") : QStringLiteral("Verify Now"));
    m_verify->setEnabled(!m_actions.isVerifying());
    m_verify->updateGeometry();
}

QStringList SyncHealthRowView::lines() const
{
    QStringList shown;
    for (QLabel *label : {m_lastSynced, m_roundTrip, m_failure, m_audit, m_counts, m_message})
        if (!label->isHidden())
            shown << label->text();
    return shown;
}

void SyncHealthRowView::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), P::rowBackground());
}

SyncPane::SyncPane(SyncActions &actions, SettingsViewModel &model, QWidget *parent)
    : SettingsSection(quillmere::title(SettingsPane::sync), systemImage(SettingsPane::sync), parent),
      m_actions(actions), m_model(model)
{
    QVBoxLayout *rows = content();
    auto add = [this, rows](QWidget *row) {
        if (rows->count() > 0)
            rows->addWidget(new SettingsDivider(this));
        rows->addWidget(row);
    };
    auto accessoryText = [this] {
        return makeLabel(QString(), 12.5, QFont::DemiBold, P::secondaryText(), false, this);
    };

    m_health = new SyncHealthRowView(m_actions, this);
    add(m_health);
    const SyncBadge badge = m_model.syncBadge();
    m_pill = new StatusPill(badge.title, badge.systemImage, badge.style, this);
    m_status = new SettingsRow(QStringLiteral("Sync"), QString(), badge.systemImage, m_pill, this);
    add(m_status);
    m_environment = accessoryText();
    add(new SettingsRow(QStringLiteral("Environment"), QStringLiteral("Where this build keeps the synced history."),
                        QStringLiteral("server.rack"), m_environment, this));
    m_freshness = accessoryText();
    add(new SettingsRow(QStringLiteral("Freshness"), QStringLiteral("When the sync folder was last checked."),
                        QStringLiteral("arrow.triangle.2.circlepath"), m_freshness, this));
    m_check = new ActionRow(QStringLiteral("Local History"), QString(), QStringLiteral("internaldrive"),
                            QStringLiteral("Refresh"), false, this);
    connect(m_check->button(), &QAbstractButton::clicked, &m_actions, &SyncActions::refreshSyncCheck);
    add(m_check);
    m_latest = new SettingsRow(QStringLiteral("Latest Local Clip"), QString(), QStringLiteral("clock"), nullptr, this);
    add(m_latest);
    m_probes = new SettingsRow(QStringLiteral("Recent Test Probes"), QString(), QStringLiteral("waveform.path.ecg"),
                               nullptr, this);
    add(m_probes);
    m_create = new ActionRow(QStringLiteral("Sync Test Clip"), QString(), QStringLiteral("waveform.path.ecg"),
                             QStringLiteral("Create"), false, this);
    connect(m_create->button(), &QAbstractButton::clicked, &m_actions, &SyncActions::createSyncTestClip);
    add(m_create);
    m_clean = new ActionRow(QStringLiteral("Clean Test Clips"),
                            QStringLiteral("Remove Brindlewax sync-check markers from history."),
                            QStringLiteral("trash.circle"), QStringLiteral("Clean"), false, this);
    connect(m_clean->button(), &QAbstractButton::clicked, &m_actions, &SyncActions::removeSyncTestClips);
    add(m_clean);
    m_folder = new ActionRow(QStringLiteral("Sync Folder"), QString(), QStringLiteral("folder"),
                             QStringLiteral("Choose…"), false, this);
    connect(m_folder->button(), &QAbstractButton::clicked, &m_actions, &SyncActions::chooseFolder);
    m_folderDivider = new SettingsDivider(this);
    rows->addWidget(m_folderDivider);
    rows->addWidget(m_folder);

    connect(&m_actions, &SyncActions::changed, this, &SyncPane::refresh);
    connect(&m_model, &SettingsViewModel::historyChanged, this, &SyncPane::refresh);
    refresh();
}

void SyncPane::refresh()
{
    const SyncDiagnostics diagnostics = m_actions.diagnostics();
    m_health->refresh();
    const SyncBadge badge = m_model.syncBadge();
    m_pill->set(badge.title, badge.systemImage, badge.style);
    m_status->setSubtitle(m_actions.statusText());
    m_environment->setText(m_actions.environmentName());
    m_freshness->setText(m_actions.lastCheckedText());
    m_check->setSubtitle(QString::number(diagnostics.localClipCount) + QStringLiteral(" local clips. ")
                         + m_actions.lastCheckedText() + QLatin1Char('.'));
    m_latest->setSubtitle(diagnostics.latestLocalClip);
    m_probes->setSubtitle(diagnostics.recentSyncProbes.isEmpty()
                              ? diagnostics.latestSyncProbe
                              : diagnostics.recentSyncProbes.join(QLatin1Char('\n')));
    m_create->setSubtitle(m_actions.probeMessage());
    m_folder->setSubtitle(m_actions.folderText());

    // Without a folder nothing else here means much: the chooser comes first, in view.
    QVBoxLayout *rows = content();
    rows->removeWidget(m_folder);
    rows->removeWidget(m_folderDivider);
    if (m_actions.folderPath().isEmpty()) {
        rows->insertWidget(0, m_folder);
        rows->insertWidget(1, m_folderDivider);
    } else {
        rows->addWidget(m_folderDivider);
        rows->addWidget(m_folder);
    }
}

std::function<std::optional<QString>(const QString &current)> syncFolderDialog(QWidget *parent)
{
    const QPointer<QWidget> owner(parent);
    return [owner](const QString &current) -> std::optional<QString> {
        QFileDialog dialog(owner, QStringLiteral("Sync Folder"), current.isEmpty() ? QDir::homePath() : current);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
}

} // namespace quillmere
