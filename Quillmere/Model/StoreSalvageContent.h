#pragma once

#include <QtGlobal>
#include <unordered_set>

class QSqlQuery;

namespace quillmere::StoreSalvageContent {

// Counts the clips of a store just salvaged, on `q`'s connection, whose content came back damaged:
// those in `defaulted` (given a default for a NULL), those whose bytes are missing, and those whose
// content is zeroes where a page was. The clips in `hashLost` get their hash from their content.
int checkClips(QSqlQuery &q, const std::unordered_set<qint64> &defaulted, const std::unordered_set<qint64> &hashLost);

} // namespace quillmere::StoreSalvageContent
