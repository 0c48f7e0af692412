#include "Quillmere/Clipboard/PasteStack.h"

#include <algorithm>

namespace quillmere {

bool PasteStack::contains(const QUuid &id) const
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::pair<std::optional<QUuid>, PasteStack> PasteStack::popFirst() const
{
    if (ids.empty())
        return {std::nullopt, *this};
    return {ids.front(), PasteStack{std::vector<QUuid>(ids.begin() + 1, ids.end())}};
}

PasteStack PasteStack::remove(const QUuid &id) const
{
    PasteStack out = *this;
    std::erase(out.ids, id);
    return out;
}

} // namespace quillmere
