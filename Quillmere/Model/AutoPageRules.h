#pragma once

#include "Quillmere/Model/Records.h"

#include <QJsonValue>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class Preferences;

// Files new clips whose text contains one of the patterns into the Page with `pinboardDedupID`.
struct AutoPageRule {
    QUuid id;
    QUuid pinboardDedupID;
    QStringList textPatterns;

    QJsonValue toJson() const;
    static std::optional<AutoPageRule> fromJson(const QJsonValue &json);
    bool operator==(const AutoPageRule &) const = default;
};

// The stored form under "autoPageRulesV1"; device-local.
struct AutoPageRulePreferences {
    static inline const QString key = QStringLiteral("autoPageRulesV1");

    std::vector<AutoPageRule> rules;

    QJsonValue toJson() const;
    static std::optional<AutoPageRulePreferences> fromJson(const QJsonValue &json);
    bool operator==(const AutoPageRulePreferences &) const = default;

    // Patterns cleaned, rules without patterns dropped, only the first rule of each Page kept.
    static std::vector<AutoPageRule> normalizedRules(const std::vector<AutoPageRule> &rules);
    // The patterns of the first rule for that Page, or none.
    static QStringList patterns(const QUuid &pageDedupID, const std::vector<AutoPageRule> &rules);
    // Replaces the Page's rules by one fresh rule with the cleaned patterns (or none when none
    // remain); the other Pages' rules keep their order.
    static std::vector<AutoPageRule> settingPatterns(const QStringList &patterns, const QUuid &pageDedupID,
                                                     const std::vector<AutoPageRule> &rules);

    // The stored rules, cleaned; none when nothing is stored or it does not decode.
    static std::vector<AutoPageRule> currentRules(const Preferences &defaults);
};

class AutoPageMatcher;
// A matcher over the stored rules, built once per change of the stored list.
std::shared_ptr<const AutoPageMatcher> sharedAutoPageMatcher(const Preferences &defaults);

// Matches clips against a rule list. The clip's custom title, text, file name, link title,
// recognised text, source-app name and kind are searched, ignoring case and diacritics.
class AutoPageMatcher {
public:
    explicit AutoPageMatcher(std::vector<AutoPageRule> rules);

    bool isEmpty() const { return m_rules.empty(); }
    // The first rule, in stored order, with a pattern found in the clip and whose Page
    // `pageExists` confirms. A rule whose Page is gone is passed over so that a stale rule
    // cannot shadow a live one.
    const AutoPageRule *firstMatch(const ClipItem &clip, const std::function<bool(const QUuid &)> &pageExists) const;

private:
    struct Folded {
        size_t rule;
        QStringList patterns;
    };
    std::vector<AutoPageRule> m_rules;
    std::vector<Folded> m_folded;
};

} // namespace quillmere
