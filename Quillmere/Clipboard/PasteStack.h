#pragma once

#include <QUuid>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere {

// Clips lined up for pasting one after another, by their dedupID; the first is pasted next.
struct PasteStack {
    std::vector<QUuid> ids;

    bool isEmpty() const { return ids.empty(); }
    bool contains(const QUuid &id) const;
    // The first id and the stack without it; an empty stack gives no id and itself.
    std::pair<std::optional<QUuid>, PasteStack> popFirst() const;
    // Without every occurrence of `id`, order kept.
    PasteStack remove(const QUuid &id) const;

    bool operator==(const PasteStack &) const = default;
};

} // namespace quillmere
