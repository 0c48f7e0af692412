#include "Quillmere/Model/ClipCaptureRules.h"

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QSet>
#include <QUrl>

namespace quillmere {

bool containsIgnoringCaseAndDiacritics(const QString &haystack, const QString &needle)
{
    if (needle.isEmpty() || haystack.isEmpty())
        return false;
    const QString foldedNeedle = foldForSearch(needle);
    return !foldedNeedle.isEmpty() && foldForSearch(haystack).contains(foldedNeedle);
}

QString rawValue(ClipCaptureRuleField field)
{
    switch (field) {
    case ClipCaptureRuleField::sourceApp:
        return QStringLiteral("sourceApp");
    case ClipCaptureRuleField::sourceBundleID:
        return QStringLiteral("sourceBundleID");
    case ClipCaptureRuleField::sourceAppName:
        return QStringLiteral("sourceAppName");
    case ClipCaptureRuleField::textContains:
        return QStringLiteral("textContains");
    case ClipCaptureRuleField::urlHost:
        return QStringLiteral("urlHost");
    case ClipCaptureRuleField::kind:
        return QStringLiteral("kind");
    }
    return {};
}

std::optional<ClipCaptureRuleField> captureRuleFieldFromRaw(const QString &raw)
{
    for (auto field :
         {ClipCaptureRuleField::sourceApp, ClipCaptureRuleField::sourceBundleID, ClipCaptureRuleField::sourceAppName,
          ClipCaptureRuleField::textContains, ClipCaptureRuleField::urlHost, ClipCaptureRuleField::kind})
        if (rawValue(field) == raw)
            return field;
    return std::nullopt;
}

ClipCaptureRuleContext::ClipCaptureRuleContext(std::optional<ClipKind> kind_, std::optional<QString> text_,
                                               std::optional<QString> sourceAppName_,
                                               std::optional<QString> sourceAppBundleID_)
    : kind(kind_), text(std::move(text_)), sourceAppName(std::move(sourceAppName_)),
      sourceAppBundleID(std::move(sourceAppBundleID_))
{
}

ClipCaptureRuleContext::ClipCaptureRuleContext(const CapturedContent &content)
    : kind(content.kind), sourceAppName(content.sourceAppName), sourceAppBundleID(content.sourceAppBundleID)
{
    QStringList parts;
    for (const auto *part : {&content.text, &content.fileName, &content.recognizedText})
        if (*part)
            parts << **part;
    text = parts.join(QLatin1Char('\n'));
}

namespace {

// The context's fields folded once, however many rules look at them.
class FoldedContext {
public:
    explicit FoldedContext(const ClipCaptureRuleContext &context) : m_context(context) {}

    const ClipCaptureRuleContext &context() const { return m_context; }
    const std::optional<QString> &text() const { return folded(m_text, m_context.text); }
    const std::optional<QString> &appName() const { return folded(m_appName, m_context.sourceAppName); }
    const std::optional<QString> &bundleID() const { return folded(m_bundleID, m_context.sourceAppBundleID); }
    const std::optional<QString> &host() const
    {
        if (!m_hostDone) {
            m_hostDone = true;
            const QUrl url(m_context.text.value_or(QString()), QUrl::StrictMode);
            if (url.isValid() && !url.host().isEmpty())
                m_host = foldForSearch(url.host());
        }
        return m_host;
    }

private:
    struct Slot {
        bool done = false;
        std::optional<QString> value;
    };
    static const std::optional<QString> &folded(Slot &slot, const std::optional<QString> &raw)
    {
        if (!slot.done) {
            slot.done = true;
            if (raw && !raw->isEmpty())
                slot.value = foldForSearch(*raw);
        }
        return slot.value;
    }

    const ClipCaptureRuleContext &m_context;
    mutable Slot m_text, m_appName, m_bundleID;
    mutable bool m_hostDone = false;
    mutable std::optional<QString> m_host;
};

bool contains(const std::optional<QString> &foldedValue, const QString &foldedPattern)
{
    return foldedValue && !foldedPattern.isEmpty() && foldedValue->contains(foldedPattern);
}

bool ruleMatches(const ClipCaptureRule &rule, const FoldedContext &folded)
{
    const QString trimmed = rule.pattern.trimmed();
    if (trimmed.isEmpty())
        return false;
    if (rule.field == ClipCaptureRuleField::kind) {
        const auto &kind = folded.context().kind;
        return kind && rawValue(*kind).compare(trimmed, Qt::CaseInsensitive) == 0;
    }
    const QString pattern = foldForSearch(trimmed);
    switch (rule.field) {
    case ClipCaptureRuleField::sourceApp:
        return contains(folded.appName(), pattern) || contains(folded.bundleID(), pattern);
    case ClipCaptureRuleField::sourceBundleID:
        return contains(folded.bundleID(), pattern);
    case ClipCaptureRuleField::sourceAppName:
        return contains(folded.appName(), pattern);
    case ClipCaptureRuleField::textContains:
        return contains(folded.text(), pattern);
    case ClipCaptureRuleField::urlHost:
        return contains(folded.host(), pattern);
    case ClipCaptureRuleField::kind:
        break;
    }
    return false;
}

} // namespace

bool ClipCaptureRule::matches(const ClipCaptureRuleContext &context) const
{
    return ruleMatches(*this, FoldedContext(context));
}

bool ClipCaptureRule::anyEnabledRuleMatches(const std::vector<ClipCaptureRule> &rules,
                                            const ClipCaptureRuleContext &context)
{
    const FoldedContext folded(context);
    for (const ClipCaptureRule &rule : rules)
        if (rule.isEnabled && ruleMatches(rule, folded))
            return true;
    return false;
}

QJsonValue ClipCaptureRule::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), uuidText(id)},
                       {QStringLiteral("isEnabled"), isEnabled},
                       {QStringLiteral("field"), rawValue(field)},
                       {QStringLiteral("pattern"), pattern}};
}

std::optional<ClipCaptureRule> ClipCaptureRule::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    ClipCaptureRule rule;
    rule.id = f.uuid(QStringLiteral("id"));
    rule.isEnabled = f.boolean(QStringLiteral("isEnabled"));
    const auto field = captureRuleFieldFromRaw(f.string(QStringLiteral("field")));
    rule.pattern = f.string(QStringLiteral("pattern"));
    if (!f.ok() || !field)
        return std::nullopt;
    rule.field = *field;
    return rule;
}

QStringList ClipRulePreferences::normalizedPatterns(const QStringList &patterns)
{
    QStringList out;
    QSet<QString> seen;
    for (const QString &entry : patterns) {
        const QString trimmed = entry.trimmed();
        if (trimmed.isEmpty())
            continue;
        const QString key = trimmed.toLower();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        out << trimmed;
    }
    return out;
}

std::vector<ClipCaptureRule> ClipRulePreferences::captureRules() const
{
    std::vector<ClipCaptureRule> rules;
    rules.reserve(size_t(blockedAppPatterns.size() + 2 * blockedTextPatterns.size()));
    for (const QString &p : blockedAppPatterns)
        rules.push_back({QUuid::createUuid(), true, ClipCaptureRuleField::sourceApp, p});
    for (const QString &p : blockedTextPatterns) {
        rules.push_back({QUuid::createUuid(), true, ClipCaptureRuleField::textContains, p});
        rules.push_back({QUuid::createUuid(), true, ClipCaptureRuleField::urlHost, p});
    }
    return rules;
}

namespace {

// One list on its own. Entries that are not texts are skipped rather than costing the whole
// list: a privacy filter should keep blocking what it still can.
QStringList readList(const QJsonObject &object, const QString &name)
{
    if (!object.contains(name)) {
        qCWarning(lcStore, "Capture rules: \"%s\" is missing; that list is treated as empty", qPrintable(name));
        return {};
    }
    const QJsonValue value = object.value(name);
    if (!value.isArray()) {
        qCWarning(lcStore, "Capture rules: \"%s\" is not a list; that list is treated as empty", qPrintable(name));
        return {};
    }
    QStringList out;
    int skipped = 0;
    for (const QJsonValue &entry : value.toArray()) {
        if (entry.isString())
            out << entry.toString();
        else
            ++skipped;
    }
    if (skipped > 0)
        qCWarning(lcStore, "Capture rules: skipped %d entries of \"%s\" that are not texts", skipped, qPrintable(name));
    return out;
}

} // namespace

ClipRulePreferences ClipRulePreferences::load(const Preferences &defaults)
{
    if (!defaults.contains(key))
        return ClipRulePreferences::defaults();
    const auto bytes = defaults.data(key);
    if (!bytes) {
        qCWarning(lcStore, "Capture rules: the stored value is not data; no rules apply");
        return ClipRulePreferences::defaults();
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qCWarning(lcStore, "Capture rules: the stored value does not decode (%s); no rules apply",
                  qPrintable(error.error != QJsonParseError::NoError ? error.errorString()
                                                                     : QStringLiteral("not an object")));
        return ClipRulePreferences::defaults();
    }
    const QJsonObject object = doc.object();
    ClipRulePreferences prefs;
    prefs.blockedAppPatterns = normalizedPatterns(readList(object, QStringLiteral("blockedAppPatterns")));
    prefs.blockedTextPatterns = normalizedPatterns(readList(object, QStringLiteral("blockedTextPatterns")));
    return prefs;
}

std::vector<ClipCaptureRule> ClipRulePreferences::currentRules(const Preferences &defaults)
{
    return *sharedRules(defaults);
}

std::shared_ptr<const std::vector<ClipCaptureRule>> ClipRulePreferences::sharedRules(const Preferences &defaults)
{
    return defaults.cached<std::vector<ClipCaptureRule>>(
        key, [](const Preferences &prefs) { return load(prefs).captureRules(); });
}

QJsonValue ClipRulePreferences::toJson() const
{
    return QJsonObject{{QStringLiteral("blockedAppPatterns"), toJsonArray(blockedAppPatterns)},
                       {QStringLiteral("blockedTextPatterns"), toJsonArray(blockedTextPatterns)}};
}

std::optional<ClipRulePreferences> ClipRulePreferences::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    ClipRulePreferences prefs;
    prefs.blockedAppPatterns = f.stringArray(QStringLiteral("blockedAppPatterns"));
    prefs.blockedTextPatterns = f.stringArray(QStringLiteral("blockedTextPatterns"));
    if (!f.ok())
        return std::nullopt;
    return prefs;
}

} // namespace quillmere
