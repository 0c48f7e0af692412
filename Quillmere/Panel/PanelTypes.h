#pragma once

#include "Quillmere/Model/ClipKind.h"
#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <algorithm>
#include <optional>
#include <vector>

namespace quillmere {

// The panel's selected tab: the history, or one Page by its persistent identifier.
struct PanelTab {
    std::optional<PersistentIdentifier> board;

    static PanelTab history() { return {}; }
    static PanelTab page(const PersistentIdentifier &id) { return {id}; }
    bool isHistory() const { return !board.has_value(); }
    bool operator==(const PanelTab &) const = default;
};

enum class PanelOpenBehavior { history, lastUsed, page };
QString rawValue(PanelOpenBehavior behavior);
// Exact match of the three stored names.
std::optional<PanelOpenBehavior> panelOpenBehaviorFromRaw(const QString &raw);

enum class PanelKeyboardMode { browsing, searching, unlocking, paused };
QString rawValue(PanelKeyboardMode mode);
std::optional<PanelKeyboardMode> panelKeyboardModeFromRaw(const QString &raw);

// What the history view needs of one clip, copied out of the store. Never holds image or file
// bytes, only whether there are any.
struct ClipSnapshot {
    PersistentIdentifier id;
    QUuid dedupID;
    QDateTime createdAt;
    QString kindRawValue;
    std::optional<QString> text;
    std::optional<QString> customTitle;
    std::optional<QString> fileName;
    std::optional<QString> linkTitle;
    std::optional<QString> recognizedText;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;
    bool isPinned = false;
    bool isSavedToPage = false;
    std::optional<PersistentIdentifier> pageID;
    bool hasImageData = false;
    // The thumbnail's key: only image clips have it, as working it out costs every other clip a hash.
    QString contentHash;
    // What the clip stands for as text (the store's rule); none when blank.
    std::optional<QString> primaryText;

    // Folded text of the searchable fields in UTF-8, filled in by the view model.
    QByteArray searchKey;

    ClipKind kind() const { return clipKindOrText(kindRawValue); }
};

struct PageSnapshot {
    PersistentIdentifier id;
    QUuid dedupID;
    QString name;
    QString colorName;
    QString iconName;
    bool isLocked = false; // both lock salt and digest non-empty

    // The name, or "Untitled" when it is empty.
    QString displayName() const { return name.isEmpty() ? QStringLiteral("Untitled") : name; }
    bool operator==(const PageSnapshot &) const = default;
};

// What the related list keeps of a clip found by meaning beyond the clips held: enough to name
// it, hide it behind a locked Page and keep the selection on it, never its contents.
struct RelatedKey {
    PersistentIdentifier id;
    QUuid dedupID;
    std::optional<qint64> pageRow;
};

// Clips newest first and Pages in tab order, as one consistent picture of the store.
struct HistorySnapshot {
    std::vector<ClipSnapshot> clips;
    std::vector<PageSnapshot> pages;
    // A part of the history: its first `newestCount` clips are the newest of the store, the rest
    // older clips that are on Pages or queued to paste. Negative: every clip is here.
    int newestCount = -1;
    bool isComplete() const { return newestCount < 0; }
};

// Changes when the number of clips or the newest clip does.
struct ItemOrderSignal {
    int count = 0;
    std::optional<QUuid> newestID;
    bool operator==(const ItemOrderSignal &) const = default;
};

// A small set of identifiers; the view never holds more than a handful of opened Pages.
class IdentifierSet {
public:
    bool contains(const PersistentIdentifier &id) const
    {
        return std::find(m_ids.begin(), m_ids.end(), id) != m_ids.end();
    }
    void insert(const PersistentIdentifier &id)
    {
        if (!contains(id))
            m_ids.push_back(id);
    }
    void remove(const PersistentIdentifier &id) { std::erase(m_ids, id); }
    void clear() { m_ids.clear(); }
    bool isEmpty() const { return m_ids.empty(); }
    const std::vector<PersistentIdentifier> &values() const { return m_ids; }
    // Equal as sets, whatever the order of insertion.
    bool operator==(const IdentifierSet &other) const
    {
        return m_ids.size() == other.m_ids.size()
            && std::all_of(m_ids.begin(), m_ids.end(), [&](const auto &id) { return other.contains(id); });
    }

private:
    std::vector<PersistentIdentifier> m_ids;
};

enum class KeyPressResult { handled, ignored };

} // namespace quillmere
