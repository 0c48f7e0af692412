#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/PanelTypes.h"
#include "Quillmere/Panel/SnapshotSearch.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillmere {

// A clip whose thumbnail the card strip will soon want.
struct ThumbnailRequest {
    PersistentIdentifier id;
    QString contentHash;
    bool operator==(const ThumbnailRequest &) const = default;
};

// Whether two identifiers name one record: as ==, row first and the entity's name compared only
// when not shared, for long rankings walked after every save.
inline bool sameIdentifier(const PersistentIdentifier &a, const PersistentIdentifier &b)
{
    return a.rowID == b.rowID && (a.entity.constData() == b.entity.constData() || a.entity == b.entity);
}

// The chain of lists the history view shows, computed over one snapshot of the store: the clips of
// the tab, the visible list after words and filters, the rendered prefix of it, the related clips
// found by meaning, and the navigable list (visible, then related) that the selection indexes.
// Clips of a locked Page that is not open never enter any of them.
class ClipLists {
public:
    static constexpr int initialRenderCount = 48;
    static constexpr int resetRenderCount = 64;
    static constexpr int fullRenderLimit = 120;
    static constexpr int renderLead = 33;
    // A few screens of cards.
    static constexpr int relatedContentCapacity = 64;

    using ClipVector = std::vector<ClipSnapshot>;

    // Takes a new picture of the store. The cached lists keep describing the previous one until
    // the next refresh, so the selection can still be carried from it. Matches held beyond a
    // part stay, merged into the new part, unless `dropMatches`.
    void setSnapshot(HistorySnapshot snapshot, bool dropMatches = true);
    // Beside a part: older clips that a search of the store found (newest first, with their keys).
    // A search looks through them too; browsing without words or filters shows only the part.
    void holdMatches(ClipVector matches);
    // Beside a part: the keys of older clips found by meaning, in the ranking's order (the keys of
    // the ranked clips not held, as they were read), so that the related list can name them; their contents are held only for the cards on screen (see holdRelatedContents).
    void holdRelatedKeys(std::vector<RelatedKey> keys);
    // The contents of related clips beyond the clips held, for the cards on screen. They replace
    // what was held, keeping at most relatedContentCapacity clips.
    void holdRelatedContents(ClipVector contents);
    // The rows of the related clips between two navigable positions that are not among the clips
    // held and whose contents are not held either (with `evenWithContents`, whether or not they are).
    std::vector<qint64> relatedRowsWithoutContents(int firstPosition, int lastPosition,
                                                   bool evenWithContents = false) const;
    bool holdsMatches() const { return !m_matches.empty(); }
    bool holdsRelated() const { return !m_relatedKeys.empty() || !m_relatedContents.empty(); }
    // The store's matches held, newest first, each with its key.
    const ClipVector &matches() const { return m_matches; }
    // Null when the snapshot does not hold that row.
    const ClipSnapshot *clipWithRow(qint64 row) const;
    // The rows of the locked Pages that are not open.
    std::vector<qint64> hiddenPageRows(const IdentifierSet &unlocked) const;
    const ClipVector &items() const { return *m_clips; }
    const std::shared_ptr<const ClipVector> &sharedItems() const { return m_clips; }
    const std::vector<PageSnapshot> &pages() const { return m_pages; }
    // False while the snapshot is only the newest part of the history (see HistorySnapshot).
    bool isComplete() const { return m_newestCount < 0; }
    // How many of items() are the newest clips of the store without a gap: all of them when complete.
    int newestCount() const { return isComplete() ? int(m_clips->size()) : m_newestCount; }
    const PageSnapshot *findPage(const PersistentIdentifier &id) const;
    ItemOrderSignal orderSignal() const;

    bool isHiddenByLock(const ClipSnapshot &clip, const IdentifierSet &unlocked) const;
    // Indices into items() of the clips of `tab`, newest first; of a part, the held matches too
    // when `searching`.
    std::vector<int> tabBaseRows(const PanelTab &tab, const IdentifierSet &unlocked, bool searching = false) const;

    struct Query {
        PanelTab tab;
        IdentifierSet unlocked;
        QString text;
        ClipSearchFilters filters;
        QDateTime now;
    };
    // Recomputes the visible list and the render window, then widens it to the selection.
    void refreshVisible(const Query &query, bool resetWindow, int selectedIndex);
    void ensureSelectionRendered(int selectedIndex);
    // Rebuilds the related list from the ranked identifiers; empty outside search mode.
    void refreshRelated(bool searchExpanded, const std::vector<PersistentIdentifier> &relatedIDs,
                        const IdentifierSet &unlocked);

    int visibleCount() const { return int(m_visible.size()); }
    int relatedCount() const { return int(m_related.size()); }
    int navigableCount() const { return visibleCount() + relatedCount(); }
    int renderedCount() const { return std::min(m_rendered, visibleCount()); }
    int renderWindow() const { return m_rendered; }
    int cardDataRevision() const { return m_cardDataRevision; }
    const ClipSnapshot &visibleAt(int i) const { return (*m_listClips)[m_visible[i]]; }
    // A related clip: its identifier, and its contents where held.
    struct Related {
        PersistentIdentifier id;
        const ClipSnapshot *clip = nullptr;
    };
    Related relatedAt(int i) const;
    // Null outside 0 ≤ i < navigableCount(), and for a related clip whose contents are not held.
    const ClipSnapshot *navigableAt(int i) const;
    // What pasting position i hands on: the clip, or only its identifier while its contents are
    // not held. None outside the list.
    std::optional<ClipSnapshot> navigableForPaste(int i) const;
    std::vector<QUuid> navigableDedupIDs() const;
    std::optional<QUuid> navigableDedupID(int i) const;
    // Where the selection goes after a refresh: to the first position of the clip it was on
    // (`anchor`, the dedupID at `old` before), else to `old` kept within the list; 0 when not
    // `enabled` or the list is empty.
    int reanchoredSelection(int old, const std::optional<QUuid> &anchor, bool enabled) const;
    std::vector<qint64> visibleRowIDs() const;
    // Clips of the tab that pass the filters and are not visible already: what may be related.
    std::vector<int> semanticCandidateRows(const Query &query) const;
    // Whether the visible list starts with the clip of that dedupID (none: whether it is empty).
    bool isNewestClipFirst(const std::optional<QUuid> &dedupID) const;
    // Clips with image data from one before the selection to four after it.
    std::vector<ThumbnailRequest> thumbnailWindow(int selectedIndex) const;

    // Distinct, trimmed source-application names of the snapshot and of `also`, sorted for people.
    QStringList sourceAppNames(const QStringList &also = {}) const;
    // The queued ids that resolve to clips not hidden by a lock, in queue order.
    std::vector<const ClipSnapshot *> pasteStackItems(const std::vector<QUuid> &stack,
                                                      const IdentifierSet &unlocked) const;
    // Dedup ids of the clips a paste stack may keep: not hidden and with a primary text.
    QSet<QUuid> pasteableDedupIDs(const IdentifierSet &unlocked) const;
    const ClipSnapshot *clipWithDedupID(const QUuid &id) const;

    using Scores = std::vector<std::pair<PersistentIdentifier, double>>;
    static std::vector<PersistentIdentifier> rankedSemanticMatchIDs(const std::vector<qint64> &excludedRows,
                                                                    const Scores &scores, const QString &query,
                                                                    bool enabled, double threshold);

private:
    const std::unordered_map<qint64, int> &rowIndex() const;

    void merge();
    void forgetRelatedKeys();
    const ClipSnapshot *relatedContent(qint64 row) const;

    // The part as read, and the matches held beside it; m_clips merges the two.
    ClipVector m_part;
    ClipVector m_matches;
    std::vector<RelatedKey> m_relatedKeys;
    ClipVector m_relatedContents;
    std::shared_ptr<const ClipVector> m_clips = std::make_shared<ClipVector>();
    std::shared_ptr<const ClipVector> m_listClips = m_clips; // what m_visible and m_related index
    std::vector<PageSnapshot> m_pages;
    int m_newestCount = -1;
    SearchKeyCache m_keys;
    mutable std::unordered_map<qint64, int> m_rowIndex; // row id -> index in m_clips, built on demand
    mutable QHash<QUuid, int> m_dedupIndex;
    mutable bool m_indexValid = false;

    std::vector<int> m_visible;
    // Each related clip: an index into m_listClips, or -1 - an index into m_relatedKeys.
    std::vector<int> m_related;
    int m_rendered = initialRenderCount;
    int m_cardDataRevision = 0;
};

} // namespace quillmere
