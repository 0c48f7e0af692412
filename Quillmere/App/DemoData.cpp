#include "Quillmere/App/DemoData.h"

#include "Quillmere/Model/ClipStore.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>

namespace quillmere {
namespace {

const char kIncident[] =
    "Chief Ops Alert — Sync Freshness Degraded\n\n"
    "Severity: SEV-2 (customer-visible delays, no data loss)\n"
    "Started: 09:42 UTC, detected by the freshness monitor on the ingestion tier.\n\n"
    "Affected connectors: Postgres CDC (eu-west), Salesforce bulk export, Zendesk tickets and the nightly S3 "
    "parquet drop. Rows are arriving 25 to 40 minutes late; dashboards built on these sources show stale numbers "
    "until the backlog drains. The US regions are not affected so far.\n\n"
    "Mitigation: the scheduler was pinned to the previous release and two extra workers were added to the "
    "eu-west pool. Queue depth is falling by roughly 8% every ten minutes. Please do not restart connectors by "
    "hand — restarts reset their checkpoints and make the backlog longer.\n\n"
    "Next update: 11:00 UTC or sooner if the lag crosses 60 minutes. Questions go to #ops-incident — not to the "
    "support queue.";

const char kTodo[] = "Saturday errands:\n"
                     "- drop off the parcel before noon\n"
                     "- dentist on Tuesday at 4:30\n"
                     "- renew the bike insurance\n"
                     "Groceries: oat milk, eggs, spinach, lemons, rice, coffee beans, dish soap, bread";

CapturedContent demo(ClipKind kind, const QString &text, const QString &app, const QString &bundle)
{
    CapturedContent c{.kind = kind};
    c.text = CapturedContent::capText(std::optional<QString>(text));
    c.sourceAppName = app;
    c.sourceAppBundleID = bundle;
    return c;
}

} // namespace

std::optional<QByteArray> makeDemoFormImage()
{
    QImage image(620, 649, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return std::nullopt;
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient gradient(0, 0, 0, image.height());
        gradient.setColorAt(0, QColor::fromRgbF(0.36f, 0.32f, 0.52f));
        gradient.setColorAt(1, QColor::fromRgbF(0.15f, 0.16f, 0.21f));
        p.fillRect(image.rect(), gradient);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgbF(1, 1, 1, 0.94f));
        const QRect boxes[] = {{60, 96, 320, 30},   {60, 150, 500, 54},  {60, 232, 500, 54}, {60, 314, 237, 54},
                               {323, 314, 237, 54}, {60, 396, 500, 110}, {60, 534, 180, 48}};
        for (const QRect &r : boxes)
            p.drawRoundedRect(r, 10, 10);
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, "png").write(image))
        return std::nullopt;
    return png;
}

void setDemoAge(const ClipRef &clip, int minutesAgo, const QDateTime &now)
{
    if (clip)
        clip->setCreatedAt(now.addSecs(-qint64(std::max(0, minutesAgo)) * 60));
}

void seedDemoData(ClipStore &store)
{
    const QString slack = QStringLiteral("Slack"), safari = QStringLiteral("Safari"),
                  terminal = QStringLiteral("Terminal");
    ClipRef incident = store.insertClip(
        demo(ClipKind::text, QString::fromUtf8(kIncident), slack, QStringLiteral("com.tinyspeck.slackmacgap")));
    ClipRef link = store.insertClip(demo(ClipKind::url, QStringLiteral("https://www.brindlewax.app/"), safari,
                                         QStringLiteral("com.apple.mobilesafari")));
    if (link)
        store.updateLinkMetadata(link, QStringLiteral("Every copy, kept. Every paste, in reach."), std::nullopt);
    ClipRef command = store.insertClip(demo(ClipKind::text, QStringLiteral("quillagent --dangerously-skip-prompts"),
                                            terminal, QStringLiteral("com.apple.Terminal")));
    ClipRef shortCommand = store.insertClip(
        demo(ClipKind::text, QStringLiteral("agent --yolo"), terminal, QStringLiteral("com.apple.Terminal")));

    ClipRef form;
    if (const auto png = makeDemoFormImage()) {
        CapturedContent picture{.kind = ClipKind::image};
        picture.imageData = *png;
        picture.recognizedText =
            QStringLiteral("Create your account\nFull name\nEmail address\nPassword\nConfirm password\nSign up");
        picture.sourceAppName = safari;
        picture.sourceAppBundleID = QStringLiteral("com.apple.mobilesafari");
        form = store.insertClip(picture);
    }
    ClipRef todo = store.insertClip(demo(ClipKind::text, QString::fromUtf8(kTodo), QStringLiteral("Notes"),
                                         QStringLiteral("com.apple.mobilenotes.SharingExtension")));

    const QDateTime now = store.now();
    setDemoAge(incident, 7, now);
    setDemoAge(link, 34, now);
    setDemoAge(command, 35, now);
    setDemoAge(shortCommand, 60, now);
    setDemoAge(form, 60, now);
    setDemoAge(todo, 65, now);
    store.save();

    PageRef snippets = store.createPage(QStringLiteral("Coding Snippets"), QStringLiteral("magenta"));
    store.createPage(QStringLiteral("Builder"), QStringLiteral("blue"));
    if (snippets && command)
        store.assignClip(command, snippets);
    if (snippets && shortCommand)
        store.assignClip(shortCommand, snippets);
}

} // namespace quillmere
