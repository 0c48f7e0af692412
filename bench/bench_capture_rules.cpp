// Cost of the capture rules at each copy with a very long block list: the check of the source
// before the content is read, then the content checks of the capture and of the store, each
// through the copy of the rules its caller takes.

#include "BenchSupport.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

struct RulesFixture {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};

    explicit RulesFixture(int textPatterns)
    {
        ClipRulePreferences lists;
        for (int i = 0; i < textPatterns / 10; ++i)
            lists.blockedAppPatterns << QStringLiteral("Vault %1").arg(i);
        for (int i = 0; i < textPatterns; ++i)
            lists.blockedTextPatterns << QStringLiteral("secret-%1.example").arg(i);
        prefs.setJSON(lists, ClipRulePreferences::key);
    }
};

bool checkCapture(const Preferences &prefs)
{
    const ClipCaptureRuleContext source(std::nullopt, std::nullopt, QStringLiteral("Text Editor"),
                                        QStringLiteral("org.example.Editor"));
    const ClipCaptureRuleContext content(ClipKind::text,
                                         QStringLiteral("Meeting notes: call Ada at 3, then Résumé review."),
                                         QStringLiteral("Text Editor"), QStringLiteral("org.example.Editor"));
    bool refused = ClipCaptureRule::anyEnabledRuleMatches(ClipRulePreferences::currentRules(prefs), source);
    refused |= ClipCaptureRule::anyEnabledRuleMatches(ClipRulePreferences::currentRules(prefs), content);
    refused |= ClipCaptureRule::anyEnabledRuleMatches(ClipRulePreferences::currentRules(prefs), content);
    return refused;
}

// One copy with unchanged rules.
void BM_RuleChecksPerCapture(benchmark::State &state)
{
    RulesFixture fixture(int(state.range(0)));
    checkCapture(fixture.prefs);
    for (auto _ : state)
        benchmark::DoNotOptimize(checkCapture(fixture.prefs));
}
BENCHMARK(BM_RuleChecksPerCapture)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

// The first copy after the block list was edited.
void BM_FirstCaptureAfterAnEdit(benchmark::State &state)
{
    RulesFixture fixture(int(state.range(0)));
    QStringList extra{QStringLiteral("Keyring")};
    for (auto _ : state) {
        state.PauseTiming();
        extra.front() =
            extra.front() == QLatin1String("Keyring") ? QStringLiteral("Wallet") : QStringLiteral("Keyring");
        auto lists = ClipRulePreferences::load(fixture.prefs);
        lists.blockedAppPatterns.front() = extra.front();
        fixture.prefs.setJSON(lists, ClipRulePreferences::key);
        state.ResumeTiming();
        benchmark::DoNotOptimize(checkCapture(fixture.prefs));
    }
}
BENCHMARK(BM_FirstCaptureAfterAnEdit)->Arg(50000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
