#include "Quillmere/Model/AutoPageRules.h"

#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QSet>

namespace quillmere {

QJsonValue AutoPageRule::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), uuidText(id)},
                       {QStringLiteral("pinboardDedupID"), uuidText(pinboardDedupID)},
                       {QStringLiteral("textPatterns"), toJsonArray(textPatterns)}};
}

std::optional<AutoPageRule> AutoPageRule::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    AutoPageRule rule;
    rule.id = f.uuid(QStringLiteral("id"));
    rule.pinboardDedupID = f.uuid(QStringLiteral("pinboardDedupID"));
    rule.textPatterns = f.stringArray(QStringLiteral("textPatterns"));
    if (!f.ok())
        return std::nullopt;
    return rule;
}

QJsonValue AutoPageRulePreferences::toJson() const
{
    QJsonArray array;
    for (const AutoPageRule &rule : rules)
        array.append(rule.toJson());
    return QJsonObject{{QStringLiteral("rules"), array}};
}

std::optional<AutoPageRulePreferences> AutoPageRulePreferences::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    const QJsonArray array = f.array(QStringLiteral("rules"));
    if (!f.ok())
        return std::nullopt;
    AutoPageRulePreferences prefs;
    for (const QJsonValue &entry : array) {
        auto rule = AutoPageRule::fromJson(entry);
        if (!rule)
            return std::nullopt;
        prefs.rules.push_back(std::move(*rule));
    }
    return prefs;
}

std::vector<AutoPageRule> AutoPageRulePreferences::normalizedRules(const std::vector<AutoPageRule> &rules)
{
    std::vector<AutoPageRule> out;
    QSet<QUuid> pages;
    for (const AutoPageRule &rule : rules) {
        AutoPageRule cleaned = rule;
        cleaned.textPatterns = ClipRulePreferences::normalizedPatterns(rule.textPatterns);
        if (cleaned.textPatterns.isEmpty() || pages.contains(cleaned.pinboardDedupID))
            continue;
        pages.insert(cleaned.pinboardDedupID);
        out.push_back(std::move(cleaned));
    }
    return out;
}

QStringList AutoPageRulePreferences::patterns(const QUuid &pageDedupID, const std::vector<AutoPageRule> &rules)
{
    for (const AutoPageRule &rule : rules)
        if (rule.pinboardDedupID == pageDedupID)
            return rule.textPatterns;
    return {};
}

std::vector<AutoPageRule> AutoPageRulePreferences::settingPatterns(const QStringList &patterns,
                                                                   const QUuid &pageDedupID,
                                                                   const std::vector<AutoPageRule> &rules)
{
    std::vector<AutoPageRule> out;
    for (const AutoPageRule &rule : rules)
        if (rule.pinboardDedupID != pageDedupID)
            out.push_back(rule);
    const QStringList cleaned = ClipRulePreferences::normalizedPatterns(patterns);
    if (!cleaned.isEmpty())
        out.push_back({QUuid::createUuid(), pageDedupID, cleaned});
    return normalizedRules(out);
}

std::vector<AutoPageRule> AutoPageRulePreferences::currentRules(const Preferences &defaults)
{
    const auto prefs = defaults.decodeJSON<AutoPageRulePreferences>(key);
    return prefs ? normalizedRules(prefs->rules) : std::vector<AutoPageRule>{};
}

std::shared_ptr<const AutoPageMatcher> sharedAutoPageMatcher(const Preferences &defaults)
{
    return defaults.cached<AutoPageMatcher>(AutoPageRulePreferences::key, [](const Preferences &prefs) {
        return AutoPageMatcher(AutoPageRulePreferences::currentRules(prefs));
    });
}

AutoPageMatcher::AutoPageMatcher(std::vector<AutoPageRule> rules) : m_rules(std::move(rules))
{
    for (size_t i = 0; i < m_rules.size(); ++i) {
        Folded folded{i, {}};
        for (const QString &pattern : m_rules[i].textPatterns) {
            const QString f = foldForSearch(pattern.trimmed());
            if (!f.isEmpty())
                folded.patterns << f;
        }
        if (!folded.patterns.isEmpty())
            m_folded.push_back(std::move(folded));
    }
}

const AutoPageRule *AutoPageMatcher::firstMatch(const ClipItem &clip,
                                                const std::function<bool(const QUuid &)> &pageExists) const
{
    if (m_folded.empty())
        return nullptr;
    QStringList fields;
    for (const auto *value : {&clip.customTitle(), &clip.text(), &clip.fileName(), &clip.linkTitle(),
                              &clip.recognizedText(), &clip.sourceAppName()})
        if (*value && !(*value)->isEmpty())
            fields << foldForSearch(**value);
    fields << clip.kindRawValue().toCaseFolded();
    for (const Folded &entry : m_folded) {
        const AutoPageRule &rule = m_rules[entry.rule];
        if (pageExists && !pageExists(rule.pinboardDedupID))
            continue;
        for (const QString &pattern : entry.patterns)
            for (const QString &field : fields)
                if (field.contains(pattern))
                    return &rule;
    }
    return nullptr;
}

} // namespace quillmere
