// Painting 100 clip cards of mixed kinds (goal: at most 16 ms, one frame): every card drawn
// afresh, as after a new card data revision, at 1x and 2x; and a strip of 100 card widgets shown
// again with their drawings kept, as when the list scrolls.
#include "BenchSupport.h"
#include "Quillmere/Pages/Widgets/ClipCardView.h"

#include <QApplication>
#include <QPainter>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

constexpr int kCards = 100;

ClipSnapshot clip(ClipKind kind, int row, QString text)
{
    ClipSnapshot c;
    c.id = {QStringLiteral("ClipItem"), row};
    c.kindRawValue = rawValue(kind);
    c.text = std::move(text);
    c.contentHash = QString::number(row);
    c.sourceAppName = QStringLiteral("Text Editor");
    return c;
}

std::vector<ClipCardInputs> cards()
{
    std::vector<ClipCardInputs> out;
    const PageSnapshot page{{QStringLiteral("Pinboard"), 1}, {}, QStringLiteral("Coding Snippets"),
                            QStringLiteral("magenta"),       {}, false};
    for (int i = 0; i < kCards; ++i) {
        ClipSnapshot c;
        switch (i % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            c = clip(ClipKind::text, i,
                     QStringLiteral("Quarterly review moved to Thursday %1. Please bring the numbers "
                                    "for the north region and the draft partner letter; we will go "
                                    "through both before lunch and decide on the budget.")
                         .arg(i));
            break;
        case 5:
            c = clip(ClipKind::url, i,
                     QStringLiteral("https://www.example.org/articles/%1/notch-panels?ref=feed").arg(i));
            c.linkTitle = QStringLiteral("Designing panels that drop from the notch");
            break;
        case 6:
        case 7:
            c = clip(ClipKind::image, i, {});
            c.hasImageData = true;
            break;
        case 8:
            c = clip(ClipKind::file, i, QStringLiteral("/home/ana/Invoice-%1.pdf").arg(i));
            c.fileName = QStringLiteral("Invoice-%1.pdf").arg(i);
            break;
        default:
            c = clip(ClipKind::text, i, QStringLiteral("password: Tr0ub4dor&3-horse-%1").arg(i));
            break;
        }
        c.isPinned = i % 7 == 0;
        ClipCardInputs inputs = ClipCardInputs::forClip(c);
        inputs.isSelected = i == 3;
        if (i < 9)
            inputs.quickPasteIndex = i;
        if (i % 4 == 0)
            inputs.page = page;
        out.push_back(inputs);
    }
    return out;
}

QImage thumbnail()
{
    QImage image(360, 240, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, 240);
    g.setColorAt(0, QColor(70, 130, 220));
    g.setColorAt(1, QColor(250, 200, 120));
    p.fillRect(image.rect(), g);
    return image;
}

SourceAppBadge badge()
{
    QPixmap icon(32, 32);
    icon.fill(QColor(230, 120, 40));
    return {QIcon(icon), QColor(230, 120, 40)};
}

void BM_PaintHundredCards(benchmark::State &state)
{
    const qreal ratio = qreal(state.range(0));
    const std::vector<ClipCardInputs> all = cards();
    const QImage picture = thumbnail();
    const std::optional<SourceAppBadge> appBadge = badge();
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(28, 28, 30));
    ClipCardBackgrounds backgrounds;
    const QFont font = QApplication::font();
    for (auto _ : state) {
        for (const ClipCardInputs &card : all)
            benchmark::DoNotOptimize(ClipCardView::draw(card,
                                                        card.item.hasImageData ? std::optional(picture) : std::nullopt,
                                                        appBadge, palette, font, ratio, backgrounds));
    }
    state.SetItemsProcessed(state.iterations() * kCards);
}
BENCHMARK(BM_PaintHundredCards)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_ShowHundredDrawnCards(benchmark::State &state)
{
    QWidget strip;
    strip.resize((ClipCardView::cardWidth + 12) * kCards, ClipCardView::cardHeight);
    ClipCardResources resources{nullptr, [](const ClipSnapshot &) { return std::optional(badge()); }};
    int x = 0;
    for (const ClipCardInputs &inputs : cards()) {
        auto *card = new ClipCardView(resources, &strip);
        card->setInputs(inputs);
        card->move(x, 0);
        x += ClipCardView::cardWidth + 12;
    }
    QImage target(strip.size(), QImage::Format_ARGB32_Premultiplied);
    strip.render(&target); // draws every card once
    for (auto _ : state) {
        strip.render(&target);
        benchmark::DoNotOptimize(target.constBits());
    }
    state.SetItemsProcessed(state.iterations() * kCards);
}
BENCHMARK(BM_ShowHundredDrawnCards)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QApplication>(argc, argv, true);
}
