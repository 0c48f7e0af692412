#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipKind.h"

#include <QJsonValue>
#include <QStringList>
#include <QUuid>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class Preferences;

// Containment in the history search's own folded form (foldForSearch), so a rule and a search
// judge a text alike. Compatibility forms stay apart ("ﬁ" is not "fi", a fullwidth letter is not
// its ASCII twin). An empty needle never matches.
bool containsIgnoringCaseAndDiacritics(const QString &haystack, const QString &needle);

enum class ClipCaptureRuleField { sourceApp, sourceBundleID, sourceAppName, textContains, urlHost, kind };

QString rawValue(ClipCaptureRuleField field);
std::optional<ClipCaptureRuleField> captureRuleFieldFromRaw(const QString &raw);

// What a rule is tested against.
struct ClipCaptureRuleContext {
    std::optional<ClipKind> kind;
    std::optional<QString> text;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;

    ClipCaptureRuleContext() = default;
    ClipCaptureRuleContext(std::optional<ClipKind> kind, std::optional<QString> text,
                           std::optional<QString> sourceAppName, std::optional<QString> sourceAppBundleID);
    // Text is the content's text, file name and recognised text, those present, joined by "\n".
    explicit ClipCaptureRuleContext(const CapturedContent &content);

    bool operator==(const ClipCaptureRuleContext &) const = default;
};

struct ClipCaptureRule {
    QUuid id;
    bool isEnabled = true;
    ClipCaptureRuleField field = ClipCaptureRuleField::textContains;
    QString pattern;

    bool matches(const ClipCaptureRuleContext &context) const;
    static bool anyEnabledRuleMatches(const std::vector<ClipCaptureRule> &rules, const ClipCaptureRuleContext &context);

    QJsonValue toJson() const;
    static std::optional<ClipCaptureRule> fromJson(const QJsonValue &json);

    bool operator==(const ClipCaptureRule &) const = default;
};

// The user's two block lists, stored as one JSON value under "clipCaptureRulesV1".
struct ClipRulePreferences {
    static inline const QString key = QStringLiteral("clipCaptureRulesV1");

    QStringList blockedAppPatterns;
    QStringList blockedTextPatterns;

    static ClipRulePreferences defaults() { return {}; }

    // Trimmed, blanks dropped, case-insensitive duplicates dropped keeping the first form.
    static QStringList normalizedPatterns(const QStringList &patterns);

    // One sourceApp rule per app pattern, then a textContains and a urlHost rule per text pattern.
    std::vector<ClipCaptureRule> captureRules() const;

    // Reads the stored lists, each on its own: a missing or damaged list is logged and counts as
    // empty without switching the other one off. Both lists come back cleaned.
    static ClipRulePreferences load(const Preferences &defaults);
    static std::vector<ClipCaptureRule> currentRules(const Preferences &defaults);
    // The same rules, decoded once and again only after the stored lists change: every copy
    // checks them, and a long list takes a while to decode.
    static std::shared_ptr<const std::vector<ClipCaptureRule>> sharedRules(const Preferences &defaults);

    // The strict form used by the settings' writer: both lists required.
    QJsonValue toJson() const;
    static std::optional<ClipRulePreferences> fromJson(const QJsonValue &json);

    bool operator==(const ClipRulePreferences &) const = default;
};

} // namespace quillmere
