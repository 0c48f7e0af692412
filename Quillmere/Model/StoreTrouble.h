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
    // saveFailed: the disk had no room.
    bool diskFull = false;
    // storeMovedAside: the copies read from it into the new history; unsavedBroughtBack: the copies.
    int count = 0;
    // unsavedAtQuit: why the files could not be brought back; fallbackSession: why the store file
    // cannot be used, when it is not its disk.
    QString reason = {};
    // storeMovedAside: the salvage was begun by a start that was cut short, what it could not keep,
    // and whether what was set aside is another program's database, left as it was.
    bool resumed = false;
    StoreSalvage::Loss loss = {};
    bool foreign = false;
    // unsavedBroughtBack: the copies that could not be read; those lost with the end of a file that
    // is missing or damaged (-1: it does not say how many), and where what is left of it lies.
    int unreadable = 0;
    int lost = 0;
    QString lostFrom = {};
    // fallbackSession: the folder of the fallback store (none: the history is in memory only), and
    // how long that folder keeps it.
    QString keptIn = {};
    FallbackStore::Place::Lasting lasting = FallbackStore::Place::Lasting::kept;

    // The words for the user.
    QString message() const;
};

} // namespace quillmere
