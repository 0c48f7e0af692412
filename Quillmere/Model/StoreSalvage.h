#pragma once

#include <QString>

namespace quillmere::StoreSalvage {

// Copies what can still be read of the store file `damaged`, left as it is, into a new store file
// at `target`: its tables row by row, passing over rows and stretches that cannot be read, then
// its indexes. Returns how many clips the new file holds, or -1 (nothing made, `error` says why).
// A damaged file cannot hold it up for long: past a deadline the rows read so far are kept.
int copyReadableRows(const QString &damaged, const QString &target, QString *error);

} // namespace quillmere::StoreSalvage
