// Reading a link preview's page: an ordinary page and pages built to make pattern searches slow,
// each at the 512 KiB the service reads at most.

#include "Quillmere/Clipboard/LinkMetadataService.h"

#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

constexpr qsizetype pageChars = LinkMetadataService::maxPageBytes;

QString filled(const QString &head, const QString &unit, const QString &tail = {})
{
    QString page = head;
    while (page.size() + unit.size() + tail.size() <= pageChars)
        page += unit;
    return page + tail;
}

const QUrl pageURL(QStringLiteral("https://example.org/articles/1"));

void readPage(benchmark::State &state, const QString &html)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(LinkMetadataService::readPage(html, pageURL));
    state.SetBytesProcessed(state.iterations() * html.size() * 2);
}

void BM_OrdinaryPage(benchmark::State &state)
{
    readPage(state,
             filled(QStringLiteral("<html><head><title>An article</title>"
                                   "<meta property=\"og:image\" content=\"/img/card.png\">"
                                   "<link rel=\"icon\" href=\"/favicon.png\"></head><body>"),
                    QStringLiteral("<p>Some text of the article, <a href=\"/x\">a link</a>.</p>\n"),
                    QStringLiteral("</body></html>")));
}
BENCHMARK(BM_OrdinaryPage)->Unit(benchmark::kMillisecond);

void BM_UnclosedTitles(benchmark::State &state)
{
    readPage(state, filled({}, QStringLiteral("<title>")));
}
BENCHMARK(BM_UnclosedTitles)->Unit(benchmark::kMillisecond);

void BM_UnclosedCardTitleTags(benchmark::State &state)
{
    readPage(state, filled({}, QStringLiteral("<meta property='og:title' ")));
}
BENCHMARK(BM_UnclosedCardTitleTags)->Unit(benchmark::kMillisecond);

void BM_UnclosedCardImageTags(benchmark::State &state)
{
    readPage(state, filled({}, QStringLiteral("<meta property='og:image' ")));
}
BENCHMARK(BM_UnclosedCardImageTags)->Unit(benchmark::kMillisecond);

// Tags as long as the search window, each full of card properties and no content.
void BM_LongCardTags(benchmark::State &state)
{
    readPage(state,
             filled({},
                    QStringLiteral("<meta") + QStringLiteral(" property='og:image'").repeated(100)
                        + QStringLiteral(" name='og:title'").repeated(100) + QStringLiteral(">")));
}
BENCHMARK(BM_LongCardTags)->Unit(benchmark::kMillisecond);

void BM_ManyIconLinks(benchmark::State &state)
{
    readPage(state, filled({}, QStringLiteral("<link rel=\"icon\" href=\"/i.png\">")));
}
BENCHMARK(BM_ManyIconLinks)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
