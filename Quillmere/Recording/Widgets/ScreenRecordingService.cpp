#include "Quillmere/Recording/Widgets/ScreenRecordingService.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Recording/RecordingGeometry.h"
#include "Quillmere/Recording/Widgets/RecordingWindows.h"
#include "Quillmere/Recording/Widgets/RegionSelector.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <memory>

namespace quillmere {

WidgetRecordingSurfaces::WidgetRecordingSurfaces(Preferences *preferences)
    : m_preferences(preferences), m_border(std::make_unique<RecordingRegionBorder>())
{
}

WidgetRecordingSurfaces::~WidgetRecordingSurfaces()
{
    delete m_selector.data();
}

bool WidgetRecordingSurfaces::presentSelector(std::function<void(std::optional<RegionSelection>)> completion)
{
    dismissSelector();
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return false;
    // The completion knows its own selector: a quick second toggle may have put a newer one in
    // m_selector by the time it fires.
    auto own = std::make_shared<QPointer<RegionSelector>>();
    m_selector = new RegionSelector(
        screen, m_preferences, [this, own, completion = std::move(completion)](std::optional<RegionSelection> result) {
            RegionSelector *finished = own->data();
            if (m_selector == finished)
                m_selector = nullptr;
            if (finished)
                finished->deleteLater();
            // The first frame must not show the selector: wait until the
            // server has taken its window away.
            X11Desktop::waitForServer();
            if (completion)
                completion(result);
        });
    *own = m_selector;
    m_selector->present();
    return true;
}

bool WidgetRecordingSurfaces::isSelectorOpen() const
{
    return m_selector && !m_selector->didFinish();
}

void WidgetRecordingSurfaces::dismissSelector()
{
    if (m_selector)
        m_selector->dismiss();
}

void WidgetRecordingSurfaces::showControls(const RegionSelection &selection, const QDateTime &startedAt,
                                           bool micEnabled)
{
    m_bar = std::make_unique<RecordingControlBar>(
        startedAt, micEnabled,
        [this](bool muted) {
            if (onToggleMute)
                onToggleMute(muted);
        },
        [this] {
            if (onStop)
                onStop();
        });
    QScreen *screen = nullptr;
    for (QScreen *candidate : QGuiApplication::screens())
        if (candidate->name() == selection.screenName)
            screen = candidate;
    const QRect visible = screen ? screen->availableGeometry() : selection.screenGeometry;
    std::optional<QRectF> avoiding;
    if (selection.rect)
        avoiding = QRectF(*selection.rect);
    const QSize size = m_bar->sizeHint();
    const QPointF origin = recording::floatingPanelOrigin(size, avoiding, visible, 14);
    m_bar->setGeometry(QRect(origin.toPoint(), size));
    m_bar->show();
    m_bar->raise();
    if (selection.rect)
        m_border->showAround(*selection.rect);
    else
        m_border->hide();
}

void WidgetRecordingSurfaces::hideControls()
{
    // Later: the bar may be hidden from inside its own stop button's handler.
    if (m_bar)
        m_bar.release()->deleteLater();
    m_border->hide();
}

int WidgetRecordingSurfaces::alert(const QString &message, const QString &informative, const QStringList &buttons)
{
    if (alertOverride)
        return alertOverride(message, informative, buttons);
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Brindlewax"), message);
    box.setInformativeText(informative);
    QList<QAbstractButton *> added;
    for (const QString &title : buttons)
        added << box.addButton(title, added.isEmpty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    DialogTitle::fit(&box);
    box.exec();
    return int(added.indexOf(box.clickedButton()));
}

ScreenRecordingService::ScreenRecordingService(Dependencies deps)
    : m_recorder(std::make_unique<ScreenRecorder>()),
      m_surfaces(std::make_unique<WidgetRecordingSurfaces>(deps.preferences))
{
    if (deps.pasteboard && deps.center)
        m_writer = std::make_unique<PasteboardWriter>(*deps.pasteboard, *deps.center);
    RecordingCoordinator::Dependencies c;
    c.store = deps.store;
    c.recorder = m_recorder.get();
    c.surfaces = m_surfaces.get();
    c.preferences = deps.preferences;
    c.beep = deps.beep;
    PasteboardWriter *writer = m_writer.get();
    c.writeClip = [writer](const ClipItem &clip) { return writer && writer->writeClip(clip); };
    c.onRecordingSaved = [this](const ClipRef &clip) {
        if (onRecordingSaved)
            onRecordingSaved(clip);
    };
    m_coordinator = std::make_unique<RecordingCoordinator>(std::move(c));
    m_recorder->onStateChange = [this](ScreenRecorder::State) {
        if (onStateChange)
            onStateChange(state(), m_recorder->startedAt());
    };
}

ScreenRecordingService::~ScreenRecordingService() = default;

ScreenRecording::State ScreenRecordingService::state() const
{
    switch (m_recorder->state()) {
    case ScreenRecorder::State::idle:
        return State::idle;
    case ScreenRecorder::State::starting:
        return State::starting;
    case ScreenRecorder::State::recording:
        return State::recording;
    }
    return State::idle;
}

} // namespace quillmere
