// Entity detection over 10,000 clips of about 300 characters (prose, logs, code, JSON,
// signatures and addresses, with numbers of every shape), and over texts at the 20,000-character
// bound built to be as hard as possible for each scanner.
#include "BenchSupport.h"
#include "Quillmere/Pages/ClipEntityAction.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <random>

using namespace quillmere;

namespace {

constexpr int kClips = 10000;

QString number(std::mt19937 &rng, int digits)
{
    QString out;
    for (int i = 0; i < digits; ++i)
        out += QChar('0' + int(rng() % 10));
    return out;
}

QString clipText(std::mt19937 &rng, int i)
{
    const QString n1 = number(rng, 3), n2 = number(rng, 4), n3 = number(rng, 2);
    switch (i % 8) {
    case 0:
        return QStringLiteral(
                   "Hi team, the quarterly review moved to %1/%2/2024 at 10:%3. Please bring the numbers for "
                   "the north region (up %4.5% on last year) and the draft partner letter. Version %5.%6.%7 "
                   "ships on Friday; ping me on +1 415-555-%8 if anything blocks you. Thanks!")
            .arg(n3, n3, n3, n3, n3, n3, n3, n2);
    case 1:
        return QStringLiteral(
                   "2024-03-15 14:30:%1.345 INFO  [worker-%2] GET https://api.example.com/v2/items?id=%3 -> 200 "
                   "(12 ms)\n2024-03-15 14:30:%1.001 WARN  [worker-%2] retry 3/5 for 10.0.%2.12:5432 pid=%4\n"
                   "2024-03-15 14:30:%1.777 ERROR [mailer] bounce from postmaster@mail.example.org: 550")
            .arg(n3, n3, n2, n2 + n1);
    case 2:
        return QStringLiteral(
                   "for (int i = 0; i < %1; ++i) {\n    if (items[i].price > %2.%3 && items[i].id != 0x%4) {\n"
                   "        total += items[i].price * 1.%3; // see https://wiki.example.com/pricing#tax\n"
                   "    }\n}\nreturn total; // build %5.%1.%3, ISBN 978-3-16-148410-0")
            .arg(n1, n2, n3, n2, n3);
    case 3:
        return QStringLiteral(
                   "{\"id\": %1, \"created\": \"2024-03-15T14:30:00Z\", \"ip\": \"192.168.%2.20\", \"version\": "
                   "\"1.%2.3\", \"contact\": {\"email\": \"ops%1@example.com\", \"phone\": \"+1-202-555-%3\"}, "
                   "\"theme\": {\"accent\": \"#FF66%2\"}, \"homepage\": \"https://example.com/%1\"}")
            .arg(n2, n3, n2);
    case 4:
        return QStringLiteral("Kind regards\nOliver Pembroke\nSenior Associate\n221B Baker Street\nLondon NW1 6XE\n"
                              "T: +44 (0)20 7946 %1\nM: 07700 900%2\nwww.pembroke-law.co.uk\nThis e-mail and any "
                              "attachment are confidential.")
            .arg(n2, n1);
    case 5:
        return QStringLiteral("Your order #112-%1-%2 has shipped via UPS 1Z999AA10123456784 and should arrive "
                              "between 9-11 am on %3.03.2024. Ship to: Max Mustermann, Musterstraße %3, 80331 München, "
                              "Deutschland. Questions? Call 1-888-280-%2 or write to orders@shop.example.com.")
            .arg(n2 + n1, n2, n3);
    case 6:
        return QStringLiteral(".button { color: #333; background: #1E90%1; border: 1px solid rgba(0, 0, 0, .%1); }\n"
                              ".x { fill: rgb(255, %2, 71); } h1 { color: hsl(210, 100%, 50%) } /* issue #%3 */\n"
                              "@media (max-width: %3px) { .button { padding: %1px } }")
            .arg(n3, n3, n1);
    default:
        return QStringLiteral("Meeting notes: we shipped v2.%1.1 to 1,%2 customers; revenue grew 12.5% to $3.2M. The "
                              "office moved to 100 Queen St W, Suite 1200, Toronto, ON M5H 2N2. Budget code %2-20-%2, "
                              "card ending %2, IBAN DE89 3704 0044 0532 0130 00, commit 3f786850e38755%2.")
            .arg(n3, n1);
    }
}

void BM_DetectEntitiesIn10000Clips(benchmark::State &state)
{
    std::mt19937 rng(7);
    std::vector<QString> clips;
    qint64 characters = 0;
    for (int i = 0; i < kClips; ++i) {
        QString text = clipText(rng, i);
        // Padded with plain prose to about 300 characters.
        while (text.size() < 290)
            text += QStringLiteral(" More notes follow.");
        clips.push_back(text);
        characters += clips.back().size();
    }
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (const QString &text : clips)
            found += DetectedEntity::detect(text).size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["charsPerClip"] = double(characters) / kClips;
    state.counters["entities"] = double(found);
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_DetectEntitiesIn10000Clips)->Unit(benchmark::kMillisecond);

// What the context menu does on opening: detect, then list the actions.
void BM_ActionsForOneSignature(benchmark::State &state)
{
    std::mt19937 rng(3);
    const QString text = clipText(rng, 4);
    for (auto _ : state)
        benchmark::DoNotOptimize(ClipEntityAction::actions(DetectedEntity::detect(text)));
}
BENCHMARK(BM_ActionsForOneSignature)->Unit(benchmark::kMicrosecond);

// Each scanner's hardest input at the bound; the time must grow no faster than the length.
void BM_DetectHostileText(benchmark::State &state)
{
    static const QString patterns[] = {QStringLiteral("1 2 "),   QStringLiteral("a@"),          QStringLiteral("(1) "),
                                       QStringLiteral("rgb(1,"), QStringLiteral("Street 12\n"), QStringLiteral("1Z 9 "),
                                       QStringLiteral("#a"),     QStringLiteral("http://x.y/")};
    const QString &pattern = patterns[state.range(0)];
    const QString text = pattern.repeated(DetectedEntity::maxScannedCharacters / pattern.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(DetectedEntity::detect(text));
    state.SetLabel(pattern.simplified().toStdString());
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}
BENCHMARK(BM_DetectHostileText)->DenseRange(0, 7)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
