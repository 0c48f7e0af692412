#include "Quillmere/Recording/Widgets/RecordingSelectorHud.h"

#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Recording/Widgets/RecordingGlyphs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

namespace quillmere {

namespace {

QString toggleStyle(const QColor &on, bool enabled)
{
    const QColor background = enabled ? QColor(on.red(), on.green(), on.blue(), 56) : QColor(255, 255, 255, 26);
    return QStringLiteral("QToolButton { background: %1; border: none; border-radius: 7px; }"
                          "QToolButton[popupMode=\"1\"] { padding-right: 12px; }"
                          "QToolButton::menu-button { border: none; background: transparent; width: 12px; }")
        .arg(background.name(QColor::HexArgb));
}

} // namespace

RecordingSelectorHud::RecordingSelectorHud(QSize sizeInPoints, Preferences *preferences,
                                           QList<RecordingAudioDevice> devices, std::function<void()> onRecord,
                                           QWidget *parent)
    : QFrame(parent), m_preferences(preferences), m_devices(std::move(devices))
{
    if (m_preferences)
        m_audio = RecordingAudioPreferences::load(*m_preferences);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 9, 14, 9);
    layout->setSpacing(12);
    m_size = new QLabel(QStringLiteral("%1 × %2").arg(sizeInPoints.width()).arg(sizeInPoints.height()), this);
    QFont font = m_size->font();
    font.setPixelSize(12);
    font.setWeight(QFont::Medium);
    m_size->setFont(font);
    m_size->setStyleSheet(QStringLiteral("color: rgba(255,255,255,217);"));
    layout->addWidget(m_size);

    m_mic = new QToolButton(this);
    m_mic->setObjectName(QStringLiteral("microphone"));
    // Wider than the other toggle: its right part opens the device menu.
    m_mic->setFixedSize(40, 26);
    m_mic->setIconSize(QSize(12, 12));
    m_mic->setPopupMode(QToolButton::MenuButtonPopup);
    m_menu = new QMenu(m_mic);
    m_mic->setMenu(m_menu);
    connect(m_mic, &QToolButton::clicked, this, [this] {
        m_audio.micEnabled = !m_audio.micEnabled;
        save();
    });
    layout->addWidget(m_mic);

    m_system = new QToolButton(this);
    m_system->setObjectName(QStringLiteral("systemAudio"));
    m_system->setFixedSize(26, 26);
    m_system->setIconSize(QSize(12, 12));
    connect(m_system, &QToolButton::clicked, this, [this] {
        m_audio.systemAudioEnabled = !m_audio.systemAudioEnabled;
        save();
    });
    layout->addWidget(m_system);

    m_record = new QPushButton(recording::glyph(QStringLiteral("record.circle"), Qt::white, 12),
                               QStringLiteral("Record Video   ↩"), this);
    m_record->setObjectName(QStringLiteral("record"));
    m_record->setToolTip(QStringLiteral("Start recording the selected region (Return)"));
    m_record->setFocusPolicy(Qt::NoFocus);
    m_record->setStyleSheet(QStringLiteral("QPushButton { color: white; font-weight: 600; font-size: 12px;"
                                           " background: rgba(255,59,48,230); border: none; border-radius: 7px;"
                                           " padding: 6px 12px; }"));
    connect(m_record, &QPushButton::clicked, this, [onRecord = std::move(onRecord)] {
        if (onRecord)
            onRecord();
    });
    layout->addWidget(m_record);
    m_mic->setFocusPolicy(Qt::NoFocus);
    m_system->setFocusPolicy(Qt::NoFocus);
    refresh();
    adjustSize();
}

void RecordingSelectorHud::setDevices(const QList<RecordingAudioDevice> &devices)
{
    m_devices = devices;
    refresh();
}

void RecordingSelectorHud::save()
{
    if (m_preferences)
        m_audio.save(*m_preferences);
    refresh();
}

void RecordingSelectorHud::refresh()
{
    const QColor green(52, 199, 89), blue(10, 132, 255), dim(255, 255, 255, 217);
    m_mic->setIcon(recording::glyph(m_audio.micEnabled ? QStringLiteral("mic.fill") : QStringLiteral("mic.slash"),
                                    m_audio.micEnabled ? green : dim, 12));
    m_mic->setStyleSheet(toggleStyle(green, m_audio.micEnabled));
    m_mic->setToolTip(m_audio.micEnabled ? QStringLiteral("Microphone on — click to turn off; menu picks the device")
                                         : QStringLiteral("Record microphone"));
    m_system->setIcon(recording::glyph(m_audio.systemAudioEnabled ? QStringLiteral("speaker.wave.2.fill")
                                                                  : QStringLiteral("speaker.slash"),
                                       m_audio.systemAudioEnabled ? blue : dim, 12));
    m_system->setStyleSheet(toggleStyle(blue, m_audio.systemAudioEnabled));
    m_system->setToolTip(m_audio.systemAudioEnabled ? QStringLiteral("System audio on — click to turn off")
                                                    : QStringLiteral("Record system audio"));

    m_menu->clear();
    QAction *systemDefault = m_menu->addAction(QStringLiteral("System Default"));
    systemDefault->setCheckable(true);
    systemDefault->setChecked(!m_audio.micDeviceID);
    connect(systemDefault, &QAction::triggered, this, [this] {
        m_audio.micDeviceID.reset();
        save();
    });
    if (!m_devices.isEmpty())
        m_menu->addSeparator();
    for (const RecordingAudioDevice &device : m_devices) {
        QAction *item = m_menu->addAction(device.name);
        item->setCheckable(true);
        item->setChecked(m_audio.micDeviceID == device.id);
        connect(item, &QAction::triggered, this, [this, id = device.id] {
            m_audio.micDeviceID = id;
            save();
        });
    }
}

void RecordingSelectorHud::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    p.fillPath(shape, QColor(0, 0, 0, 209));
    p.setPen(QPen(QColor(255, 255, 255, 31), 1));
    p.drawPath(shape);
}

} // namespace quillmere
