#include "Quillmere/Settings/Core/RuleEditors.h"

#include "Quillmere/Platform/Core/Preferences.h"

#include <QRegularExpression>

namespace quillmere {

namespace rulestext {

QStringList patterns(const QString &editorText)
{
    static const QRegularExpression separators(QStringLiteral("[\\n,]"));
    return ClipRulePreferences::normalizedPatterns(editorText.split(separators));
}

QString text(const QStringList &patterns)
{
    return patterns.join(QLatin1Char('\n'));
}

} // namespace rulestext

std::optional<QString> storeRulePreference(Preferences &prefs, const QString &key, const QJsonValue &json)
{
    if (!json.isObject())
        return QStringLiteral("Could not save the rules: they could not be encoded.");
    const bool had = prefs.contains(key);
    const QVariant previous = prefs.value(key);
    const QByteArray bytes = QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact);
    prefs.setData(key, bytes);
    if (prefs.sync())
        return std::nullopt;
    if (had && previous.isValid())
        prefs.setValue(key, previous);
    else
        prefs.remove(key);
    return QStringLiteral(
        "Could not save the rules: the preferences file could not be written. Your text is kept here.");
}

void PrivacyRulesEditor::load()
{
    const ClipRulePreferences stored = ClipRulePreferences::load(m_prefs);
    appText = rulestext::text(stored.blockedAppPatterns);
    textText = rulestext::text(stored.blockedTextPatterns);
    message.reset();
}

bool PrivacyRulesEditor::save()
{
    ClipRulePreferences rules;
    rules.blockedAppPatterns = rulestext::patterns(appText);
    rules.blockedTextPatterns = rulestext::patterns(textText);
    if (const auto error = storeRulePreference(m_prefs, ClipRulePreferences::key, rules.toJson())) {
        message = RuleMessage{*error, true};
        return false;
    }
    appText = rulestext::text(rules.blockedAppPatterns);
    textText = rulestext::text(rules.blockedTextPatterns);
    message = RuleMessage{QStringLiteral("Saved %1 local rules.").arg(rules.captureRules().size()), false};
    return true;
}

void AutoPageRulesEditor::load(const std::vector<QUuid> &pages)
{
    const std::vector<AutoPageRule> rules = AutoPageRulePreferences::currentRules(m_prefs);
    QHash<QUuid, QString> fresh;
    for (const QUuid &page : pages)
        if (!fresh.contains(page))
            fresh.insert(page,
                         rulestext::text(
                             ClipRulePreferences::normalizedPatterns(AutoPageRulePreferences::patterns(page, rules))));
    texts = fresh;
    message.reset();
}

bool AutoPageRulesEditor::save(const std::vector<QUuid> &pages)
{
    std::vector<AutoPageRule> rules;
    QList<QUuid> done;
    for (const QUuid &page : pages) {
        // Pages sharing an id share one editor text, hence one rule.
        if (done.contains(page))
            continue;
        done << page;
        rules = AutoPageRulePreferences::settingPatterns(rulestext::patterns(texts.value(page)), page, rules);
    }
    AutoPageRulePreferences stored;
    stored.rules = AutoPageRulePreferences::normalizedRules(rules);
    if (const auto error = storeRulePreference(m_prefs, AutoPageRulePreferences::key, stored.toJson())) {
        message = RuleMessage{*error, true};
        return false;
    }
    load(pages);
    message = RuleMessage{QStringLiteral("Saved %1 auto-page rules.").arg(stored.rules.size()), false};
    return true;
}

} // namespace quillmere
