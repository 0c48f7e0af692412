#pragma once

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/OldRecoveryFiles.h"
#include "Quillmere/Model/StoreSalvage.h"

#include <QString>
#include <vector>

namespace quillmere {

// Store trouble the user should hear of. Each field serves the kinds its comment names.
struct StoreTrouble {
    enum class Kind { storeMovedAside, fallbackSession, saveFailed, oldRecoveryFiles, lockLost };
    Kind kind;
    // storeMovedAside: where the unreadable store lies; fallbackSession, lockLost: the store file that
    // cannot be used.
    QString path = {};
    bool diskFull = false; // saveFailed
    int count = 0;         // storeMovedAside: the copies read into the new history
    // fallbackSession: why the store file cannot be used, when it is not its disk; lockLost: why its
    // lock could not be taken again.
    QString reason = {};
    // storeMovedAside: begun by a start cut short, what it could not keep, another program's database.
    bool resumed = false;
    StoreSalvage::Loss loss = {};
    bool foreign = false;
    // fallbackSession: the fallback store's folder (none: memory only), how long the folder keeps it.
    QString keptIn = {};
    FallbackStore::Place::Lasting lasting = FallbackStore::Place::Lasting::kept;
    // oldRecoveryFiles: those found, and the clips each holds.
    std::vector<OldRecoveryFiles::File> oldRecoveryFiles = {};

    QString message() const;
};

} // namespace quillmere
