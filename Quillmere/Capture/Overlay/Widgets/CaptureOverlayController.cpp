#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayController.h"

#include "Quillmere/Capture/Overlay/CaptureOverlayGeometry.h"
#include "Quillmere/Capture/Overlay/CaptureSaveFolder.h"
#include "Quillmere/Capture/Overlay/Widgets/CaptureGlyphs.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/DesktopMotion.h"
#include "Quillmere/Platform/TransientWindow.h"

#include <QApplication>
#include <QBuffer>
#include <QCursor>
#include <QDir>
#include <QDrag>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QHelpEvent>
#include <QImageReader>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QToolTip>
#include <QtConcurrent>

namespace quillmere {
namespace {

const QColor cardBackground(18, 20, 26);
const QColor buttonTint = QColor::fromRgbF(0.18f, 0.2f, 0.24f);

QColor white(double opacity)
{
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}

QRectF cardRect()
{
    return QRectF(CaptureOverlayController::outerMargin, CaptureOverlayController::outerMargin,
                  CaptureOverlayController::cardWidth, CaptureOverlayController::cardHeight);
}

QString askWithDesktopDialog(const CaptureCardActions::SaveRequest &request, const QString &startFolder)
{
    QFileDialog dialog(nullptr, request.title, startFolder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(request.filter);
    dialog.selectFile(request.suggestedName);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
    if (request.sourcePath.isEmpty())
        dialog.setDefaultSuffix(QStringLiteral("png"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

// The card's image, decoded off the main thread at most at the size it is drawn.
QImage decodeForCard(const QByteArray &bytes, QSize pixels)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && size.width() > pixels.width() && size.height() > pixels.height())
        reader.setScaledSize(size.scaled(pixels, Qt::KeepAspectRatioByExpanding));
    QImage image = reader.read();
    if (!image.isNull() && (image.width() > 2 * pixels.width() || image.height() > 2 * pixels.height()))
        image = image.scaled(pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return image;
}

} // namespace

CaptureOverlayController::CaptureOverlayController(Environment environment, QWidget *parent)
    : TransientPanel({false, CaptureOverlayGeometry::dismissAfterMs}, environment.motion,
                     environment.actions.clock ? environment.actions.clock : systemClock(), parent),
      m_environment(std::move(environment))
{
    setObjectName(QStringLiteral("CaptureOverlayCard"));
    setWindowTitle(QStringLiteral("Brindlewax capture"));
    setFixedSize(cardWidth + 2 * outerMargin, cardHeight + 2 * outerMargin);
    setMouseTracking(true);
    // The card never takes the focus, and Qt shows help only over the active window otherwise.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    if (!m_environment.askSaveDestination)
        m_environment.askSaveDestination = [this](const CaptureCardActions::SaveRequest &request) {
            return askWithDesktopDialog(request, CaptureSaveFolder(m_environment.preferences).startFolder());
        };
    if (!m_environment.actions.uploadOwner)
        m_environment.actions.uploadOwner = this;
    if (!TransientWindow::compositorRunning()) {
        QPainterPath outline;
        outline.addRoundedRect(cardRect(), cornerRadius, cornerRadius);
        setMask(QRegion(outline.toFillPolygon().toPolygon()));
    }
    m_hoverFade.setDuration(120);
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment({0.2, 0.9}, {0.2, 1.0}, {1, 1});
    m_hoverFade.setEasingCurve(curve);
    connect(&m_hoverFade, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_hoverOpacity = value.toDouble();
        update();
    });
    m_spinner.setInterval(80);
    connect(&m_spinner, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % 12;
        update(controlRect(Control::upload).toAlignedRect());
    });
}

CaptureOverlayController::~CaptureOverlayController() = default;

std::shared_ptr<CaptureOverlayUploadProgress>
CaptureOverlayController::showCard(const ClipRef &clip, CaptureOverlayUploadProgress::Kind state)
{
    auto progress = std::make_shared<CaptureOverlayUploadProgress>(CaptureOverlayUploadProgress::State{state, {}});
    disconnect(m_progressConnection);
    m_image = QImage();
    m_actions = std::make_shared<CaptureCardActions>(m_environment.actions, clip, progress, QImage());
    m_progressConnection = connect(progress.get(), &CaptureOverlayUploadProgress::changed, this, [this] {
        const bool uploading =
            m_actions && m_actions->progress()->state().kind == CaptureOverlayUploadProgress::Kind::uploading;
        uploading ? m_spinner.start() : m_spinner.stop();
        describeUploadState();
        update();
    });
    describeUploadState();
    state == CaptureOverlayUploadProgress::Kind::uploading ? m_spinner.start() : m_spinner.stop();
    m_hovering = false;
    m_hoverFade.stop();
    m_hoverOpacity = 0;
    m_pressed = Control::none;
    decodeImage(clip);

    const CaptureOverlayPosition corner = m_environment.preferences ? captureOverlayPosition(*m_environment.preferences)
                                                                    : CaptureOverlayPosition::bottomLeft;
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    std::optional<QRectF> visible, frame;
    if (screen) {
        visible = QRectF(screen->availableGeometry());
        frame = QRectF(screen->geometry());
    }
    m_shownOn = frame;
    const QSizeF size = this->size();
    const QPointF target = CaptureOverlayGeometry::overlayOrigin(size, corner, visible);
    const QPointF start = CaptureOverlayGeometry::startOrigin(size, corner, frame, target);
    presentPanel(start.toPoint(), target.toPoint(), CaptureOverlayGeometry::slideInMs, panelEnterTimingFunction());
    return progress;
}

void CaptureOverlayController::decodeImage(const ClipRef &clip)
{
    const quint64 serial = ++m_decodeSerial;
    m_decoding = clip && clip->hasImageData();
    if (!m_decoding)
        return;
    const QByteArray bytes = clip->imageData().value_or(QByteArray());
    const double ratio = devicePixelRatioF();
    const QSize pixels(int(cardWidth * ratio), int(cardHeight * ratio));
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, serial] {
        watcher->deleteLater();
        if (serial != m_decodeSerial)
            return;
        m_decoding = false;
        m_image = watcher->result();
        if (m_actions)
            m_actions->setImage(m_image);
        update();
    });
    watcher->setFuture(QtConcurrent::run([bytes, pixels] { return decodeForCard(bytes, pixels); }));
}

void CaptureOverlayController::dismiss()
{
    setHovering(false);
    const QRectF panel(pos(), size());
    std::vector<QRectF> screens;
    for (QScreen *screen : QGuiApplication::screens())
        screens.push_back(QRectF(screen->geometry()));
    std::optional<QRectF> fallback = m_shownOn;
    if (!fallback && QGuiApplication::primaryScreen())
        fallback = QRectF(QGuiApplication::primaryScreen()->geometry());
    const auto exit = CaptureOverlayGeometry::exitFor(panel, screens, fallback);
    slideOut(exit.origin.toPoint(), CaptureOverlayGeometry::slideOutMs, panelExitTimingFunction(),
             CaptureOverlayGeometry::slideOutOpacity);
}

QRectF CaptureOverlayController::controlRect(Control control) const
{
    const QRectF card = cardRect();
    const double inset = 8, button = 26;
    const double pillWidth = 114, pillHeight = 32;
    const double pillsTop = card.center().y() - (2 * pillHeight + 10) / 2;
    switch (control) {
    case Control::none:
        return {};
    case Control::thumbnail:
        return card;
    case Control::dismiss:
        return {card.left() + inset, card.top() + inset, button, button};
    case Control::pin:
        return {card.right() - inset - button, card.top() + inset, button, button};
    case Control::annotate:
        return {card.left() + inset, card.bottom() - inset - button, button, button};
    case Control::upload:
        return {card.right() - inset - button, card.bottom() - inset - button, button, button};
    case Control::copy:
        return {card.center().x() - pillWidth / 2, pillsTop, pillWidth, pillHeight};
    case Control::save:
        return {card.center().x() - pillWidth / 2, pillsTop + pillHeight + 10, pillWidth, pillHeight};
    }
    return {};
}

CaptureOverlayController::Control CaptureOverlayController::controlAt(QPointF point) const
{
    if (m_hovering) {
        for (Control c : {Control::dismiss, Control::pin, Control::annotate, Control::copy, Control::save})
            if (controlRect(c).contains(point))
                return c;
        if (m_actions && m_actions->showsUploadButton() && controlRect(Control::upload).contains(point))
            return Control::upload;
    }
    return controlRect(Control::thumbnail).contains(point) ? Control::thumbnail : Control::none;
}

QString CaptureOverlayController::helpText(Control control) const
{
    using Kind = CaptureOverlayUploadProgress::Kind;
    switch (control) {
    case Control::none:
        return {};
    case Control::thumbnail:
        return QStringLiteral("Drag to another app, or hover for actions");
    case Control::dismiss:
        return QStringLiteral("Dismiss");
    case Control::pin:
        return m_actions && m_actions->isPinned() ? QStringLiteral("Unpin") : QStringLiteral("Pin");
    case Control::annotate:
        return QStringLiteral("Annotate");
    case Control::copy:
        return QStringLiteral("Copy");
    case Control::save:
        return m_actions && m_actions->didSave() ? QStringLiteral("Saved") : QStringLiteral("Save");
    case Control::upload: {
        const auto state = m_actions ? m_actions->progress()->state() : CaptureOverlayUploadProgress::State{};
        switch (state.kind) {
        case Kind::idle:
            return QStringLiteral("Send to cloud");
        case Kind::uploading:
            return QStringLiteral("Uploading…");
        case Kind::done:
            return QStringLiteral("Link copied");
        case Kind::failed:
            return state.help();
        }
    }
    }
    return {};
}

void CaptureOverlayController::describeUploadState()
{
    const bool failed = m_actions && m_actions->progress()->state().kind == CaptureOverlayUploadProgress::Kind::failed;
    setAccessibleDescription(failed ? helpText(Control::upload) : QString());
}

void CaptureOverlayController::trigger(Control control)
{
    if (!m_actions)
        return;
    using Outcome = CaptureCardActions::Outcome;
    Outcome outcome = Outcome::stay;
    switch (control) {
    case Control::none:
    case Control::thumbnail:
        return;
    case Control::dismiss:
        outcome = Outcome::close;
        break;
    case Control::pin:
        outcome = m_actions->togglePin();
        break;
    case Control::annotate:
        outcome = m_actions->annotate();
        break;
    case Control::upload:
        outcome = m_actions->upload();
        break;
    case Control::copy:
        outcome = m_actions->copy();
        break;
    case Control::save: {
        // The dialog runs its own loop: a newer capture may replace this card meanwhile.
        const std::shared_ptr<CaptureCardActions> actions = m_actions;
        const auto request = actions->saveRequest();
        const QString destination = request ? m_environment.askSaveDestination(*request) : QString();
        if (!destination.isEmpty())
            saveInBackground(actions, *request, destination);
        if (actions != m_actions)
            return;
        outcome = actions->isGone() ? Outcome::close : Outcome::stay;
        break;
    }
    }
    update();
    if (outcome == Outcome::close)
        dismiss();
}

void CaptureOverlayController::saveInBackground(const std::shared_ptr<CaptureCardActions> &actions,
                                                const CaptureCardActions::SaveRequest &request,
                                                const QString &destination)
{
    // A recording may be gigabytes, and the folder on a slow or network disk.
    inBackground(
        this, [request, destination] { return CaptureCardActions::write(request, destination); },
        [this, actions, destination](bool written) {
            if (!written) {
                QMessageBox::warning(nullptr, QStringLiteral("Could Not Save"),
                                     QStringLiteral("%1 could not be written. Check that the folder exists, that "
                                                    "you may write there and that the disk has room.")
                                         .arg(QDir::toNativeSeparators(destination)));
                return;
            }
            actions->markSaved();
            CaptureSaveFolder(m_environment.preferences).remember(destination);
            update();
        });
}

void CaptureOverlayController::setHovering(bool hovering)
{
    if (hovering == m_hovering)
        return;
    m_hovering = hovering;
    m_hoverFade.stop();
    if (m_environment.motion && m_environment.motion->reduceMotion()) {
        m_hoverOpacity = hovering ? 1 : 0;
        update();
    } else {
        m_hoverFade.setStartValue(m_hoverOpacity);
        m_hoverFade.setEndValue(hovering ? 1.0 : 0.0);
        m_hoverFade.start();
    }
    hoverChanged(hovering);
}

void CaptureOverlayController::enterEvent(QEnterEvent *)
{
    setHovering(true);
}

void CaptureOverlayController::leaveEvent(QEvent *)
{
    setHovering(false);
}

void CaptureOverlayController::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    setHovering(true);
    m_pressed = controlAt(event->position());
    m_pressPosition = event->position().toPoint();
}

void CaptureOverlayController::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_hovering && rect().contains(event->position().toPoint()))
        setHovering(true);
    if ((event->buttons() & Qt::LeftButton) && m_pressed != Control::none
        && (event->position().toPoint() - m_pressPosition).manhattanLength() >= QApplication::startDragDistance()) {
        m_pressed = Control::none;
        startDrag();
    }
}

void CaptureOverlayController::mouseReleaseEvent(QMouseEvent *event)
{
    const Control pressed = std::exchange(m_pressed, Control::none);
    if (event->button() == Qt::LeftButton && pressed != Control::none && controlAt(event->position()) == pressed)
        trigger(pressed);
}

void CaptureOverlayController::startDrag()
{
    if (!m_actions)
        return;
    const auto payload = m_actions->dragPayload();
    if (!payload) {
        if (m_actions->isGone())
            dismiss();
        return;
    }
    auto *mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(payload->filePath)});
    if (!payload->png.isEmpty())
        mime->setData(QStringLiteral("image/png"), payload->png);
    auto *drag = new QDrag(this);
    drag->setMimeData(mime);
    if (!m_image.isNull())
        drag->setPixmap(QPixmap::fromImage(m_image.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    drag->exec(Qt::CopyAction);
}

bool CaptureOverlayController::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QString text = helpText(controlAt(help->pos()));
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this, controlRect(controlAt(help->pos())).toAlignedRect());
        return true;
    }
    return TransientPanel::event(event);
}

void CaptureOverlayController::paintIconButton(QPainter &painter, const QRectF &rect, const QString &glyph,
                                               const QColor &tint, bool shadow)
{
    if (shadow) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.12f));
        painter.drawEllipse(rect.translated(0, 1).adjusted(-0.5, -0.5, 0.5, 0.5));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(white(0.88));
    painter.drawEllipse(rect);
    painter.setPen(QPen(white(0.55), 0.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(rect.adjusted(0.25, 0.25, -0.25, -0.25));
    if (!glyph.isEmpty())
        CaptureGlyphs::paint(painter, QRectF(rect.center() - QPointF(6.5, 6.5), QSizeF(13, 13)), glyph, tint, 1.8);
}

void CaptureOverlayController::paintPill(QPainter &painter, const QRectF &rect, const QString &title)
{
    const double radius = rect.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.1f));
    painter.drawRoundedRect(rect.translated(0, 1), radius, radius);
    painter.setBrush(white(0.9));
    painter.drawRoundedRect(rect, radius, radius);
    painter.setPen(QPen(white(0.55), 0.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(0.25, 0.25, -0.25, -0.25), radius, radius);
    QFont font = painter.font();
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    painter.setFont(font);
    painter.setPen(buttonTint);
    painter.drawText(rect, Qt::AlignCenter, title);
}

void CaptureOverlayController::paintHoverLayer(QPainter &painter)
{
    using Kind = CaptureOverlayUploadProgress::Kind;
    painter.save();
    painter.setOpacity(m_hoverOpacity);
    QPainterPath outline;
    outline.addRoundedRect(cardRect(), cornerRadius, cornerRadius);
    painter.fillPath(outline, QColor::fromRgbF(0, 0, 0, 0.42f));
    paintIconButton(painter, controlRect(Control::dismiss), QStringLiteral("xmark"), buttonTint, true);
    paintIconButton(painter, controlRect(Control::pin),
                    m_actions && m_actions->isPinned() ? QStringLiteral("pin.fill") : QStringLiteral("pin"), buttonTint,
                    true);
    paintIconButton(painter, controlRect(Control::annotate), QStringLiteral("pencil"), buttonTint, true);
    if (m_actions && m_actions->showsUploadButton()) {
        const auto state = m_actions->progress()->state();
        const QRectF rect = controlRect(Control::upload);
        switch (state.kind) {
        case Kind::idle:
            paintIconButton(painter, rect, QStringLiteral("icloud.and.arrow.up"), buttonTint, false);
            break;
        case Kind::done:
            paintIconButton(painter, rect, QStringLiteral("checkmark"), QColor::fromRgbF(0.12f, 0.55f, 0.28f), false);
            break;
        case Kind::failed:
            paintIconButton(painter, rect, QStringLiteral("exclamationmark"), QColor::fromRgbF(0.75f, 0.35f, 0.1f),
                            false);
            break;
        case Kind::uploading: {
            paintIconButton(painter, rect, QString(), buttonTint, false);
            const QPointF c = rect.center();
            for (int i = 0; i < 8; ++i) {
                const double angle = (i + m_spinnerStep) * M_PI / 4;
                QColor tick = buttonTint;
                tick.setAlphaF(0.25f + 0.75f * float(i) / 7);
                painter.setPen(QPen(tick, 1.4, Qt::SolidLine, Qt::RoundCap));
                painter.drawLine(c + QPointF(std::cos(angle), std::sin(angle)) * 2.6,
                                 c + QPointF(std::cos(angle), std::sin(angle)) * 5.2);
            }
            break;
        }
        }
    }
    paintPill(painter, controlRect(Control::copy), QStringLiteral("Copy"));
    paintPill(painter, controlRect(Control::save),
              m_actions && m_actions->didSave() ? QStringLiteral("Saved") : QStringLiteral("Save"));
    painter.restore();
}

void CaptureOverlayController::paintContent(QPainter &painter)
{
    const QRectF card = cardRect();
    QPainterPath outline;
    outline.addRoundedRect(card, cornerRadius, cornerRadius);
    if (testAttribute(Qt::WA_TranslucentBackground)) {
        painter.setPen(Qt::NoPen);
        for (int i = 1; i <= 6; ++i) {
            painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.035f));
            painter.drawRoundedRect(card.adjusted(-i, -i + 3, i, i + 3), cornerRadius + i, cornerRadius + i);
        }
    }
    painter.fillPath(outline, cardBackground);
    painter.save();
    painter.setClipPath(outline);
    if (!m_image.isNull()) {
        const QSizeF scaled = QSizeF(m_image.size()).scaled(card.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(card.center() - QPointF(scaled.width() / 2, scaled.height() / 2), scaled);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, m_image);
    } else if (!m_decoding) {
        CaptureGlyphs::paint(painter, QRectF(card.center() - QPointF(15, 15), QSizeF(30, 30)), QStringLiteral("photo"),
                             white(0.35), 1.2);
    }
    painter.restore();
    painter.setPen(QPen(white(0.14), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5, cornerRadius - 0.5);
    if (m_hoverOpacity > 0)
        paintHoverLayer(painter);
}

} // namespace quillmere
