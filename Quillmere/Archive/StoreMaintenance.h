#pragma once

#include "Quillmere/Archive/StorageFacts.h"

#include <QObject>
#include <functional>
#include <vector>

namespace quillmere {

class ClipStore;

// What the storage and health displays ask of the store. Main thread; none of them fails loudly.

// Bytes the store takes on disk; 0 for a store in memory.
qint64 storeFootprintBytes(const ClipStore &store);

// Snapshots of every clip, newest first, read off the main thread in batches; `done` runs on the
// main thread unless `receiver` has gone by then. A store in memory is snapshotted at once.
void storageFacts(const ClipStore &store, int batchSize, QObject *receiver,
                  std::function<void(std::vector<ClipFact>)> done);

// Sweeps duplicates now; the number of clips merged away.
int runDuplicateSweep(ClipStore &store, bool force);

// Clips created at or after `cutoff`.
int countClips(const ClipStore &store, const QDateTime &cutoff);

} // namespace quillmere
