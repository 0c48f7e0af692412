#pragma once

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreSalvage.h"

#include <QString>

namespace quillmere {

// Store trouble the user should hear of. Each field serves the kinds its comment names.
struct StoreTrouble {
    enum class Kind { storeMovedAside, fallbackSession, saveFailed, unsavedAtQuit, unsavedBroughtBack };
    Kind kind;
    // storeMovedAside: where the unreadable store lies; fallbackSession: the store file that cannot
    // be used; unsavedAtQuit: the recovery files; unsavedBroughtBack: where unreadable copies are left.
    QString path = {};
    bool diskFull = false; // saveFailed
    int count = 0;         // storeMovedAside: the copies read into the new history; unsavedBroughtBack: the copies
    // unsavedAtQuit: why the files could not be brought back; fallbackSession: why the store file
    // cannot be used, when it is not its disk.
    QString reason = {};
    // storeMovedAside: begun by a start cut short, what it could not keep, another program's database.
    bool resumed = false;
    StoreSalvage::Loss loss = {};
    bool foreign = false;
    // unsavedBroughtBack: the copies unreadable, and those lost with the end of a missing or damaged
    // file (-1: it does not say how many), where what is left of it lies.
    int unreadable = 0;
    int lost = 0;
    QString lostFrom = {};
    // fallbackSession: the fallback store's folder (none: memory only), how long the folder keeps it.
    QString keptIn = {};
    FallbackStore::Place::Lasting lasting = FallbackStore::Place::Lasting::kept;

    QString message() const;
};

} // namespace quillmere
