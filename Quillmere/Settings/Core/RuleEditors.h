#pragma once

#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>
#include <vector>

namespace quillmere {

class Preferences;

// The status line under a rule editor.
struct RuleMessage {
    QString text;
    bool isError = false;
    bool operator==(const RuleMessage &) const = default;
};

namespace rulestext {
// Lines and commas both end a pattern; the pieces are trimmed and cleaned of blanks and
// case-insensitive repeats.
QStringList patterns(const QString &editorText);
QString text(const QStringList &patterns);
} // namespace rulestext

// The Ignored Apps and Blocked Content editors: texts that reach the preferences only on save.
class PrivacyRulesEditor {
public:
    explicit PrivacyRulesEditor(Preferences &prefs) : m_prefs(prefs) {}

    QString appText;
    QString textText;
    std::optional<RuleMessage> message;

    // Both editors from the stored lists; the message goes. Never writes.
    void load();
    // Stores both lists and shows them cleaned. When they cannot be stored, what was stored stays
    // as it was and the editors keep the user's text.
    bool save();

private:
    Preferences &m_prefs;
};

// One pattern editor per Page, keyed by the Page's dedupID.
class AutoPageRulesEditor {
public:
    explicit AutoPageRulesEditor(Preferences &prefs) : m_prefs(prefs) {}

    QHash<QUuid, QString> texts;
    std::optional<RuleMessage> message;

    QString text(const QUuid &page) const { return texts.value(page); }
    void setText(const QUuid &page, const QString &text) { texts.insert(page, text); }

    // Every listed Page's editor from the stored rules; Pages no longer listed drop out.
    void load(const std::vector<QUuid> &pages);
    // The rules rebuilt from the listed Pages' texts alone; rules of vanished Pages go.
    bool save(const std::vector<QUuid> &pages);

private:
    Preferences &m_prefs;
};

// Writes `json` under `key` and to disk at once; on failure puts the previous value back and
// gives the reason to show.
std::optional<QString> storeRulePreference(Preferences &prefs, const QString &key, const QJsonValue &json);

} // namespace quillmere
