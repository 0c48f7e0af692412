#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QFileInfo>

// The way back for a history that left a deleted store: its fallback store copied whole to the path.
namespace quillmere {

bool StoreCaretaker::copyWholeToStore()
{
    // Rows inserted one by one into an empty store take more room than the pages they came from: on
    // a disk that had room for the store alone, a move-in by slices would stop part way.
    if (!m_leftDeletedStore || m_store.container().isInMemory() || QFileInfo::exists(m_storePath))
        return false;
    const QString fallback = m_store.container().storeURL();
    // What is copied meanwhile waits in memory, and goes into the store with the copy.
    m_store.save();
    if (m_store.context().hasChanges())
        return false;
    m_store.holdSaves(true);
    m_step = Step::copyingWhole;
    inBackground(
        this,
        [fallback, storePath = m_storePath, stop = m_quitting] {
            return FallbackStore::copyWhole(fallback, storePath, *stop);
        },
        [this, fallback](const FallbackStore::WholeCopy &copy) { copiedWhole(fallback, copy); }, m_stepThread.pool());
    return true;
}

void StoreCaretaker::copiedWhole(const QString &fallback, const FallbackStore::WholeCopy &copy)
{
    // The end of the program saved what waited, in the fallback store.
    if (m_step != Step::copyingWhole)
        return;
    m_step = Step::none;
    std::unique_ptr<ModelContainer> container;
    StoreOpening opening;
    // Deleted or replaced since it was named, the copy is no longer what the path opens: the fallback store
    // stays the history's, and is copied again.
    const bool atPath = copy.error.isEmpty() && FileIdentity::of(m_storePath) == copy.file;
    // The guard moved the history to another fallback store meanwhile: it moves in from there.
    if (atPath && m_store.container().storeURL() == fallback && holdsLock(&opening.error)) {
        container = ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
        if (container && container->openedFile() != copy.file)
            container.reset();
    }
    if (!container) {
        m_store.holdSaves(false);
        m_store.save();
        const QString why = copy.error.isEmpty() ? opening.error : copy.error;
        if (copy.noRoom) {
            qCWarning(lcPersistence, "The store at %s has no room for the history yet: it stays in %s",
                      qPrintable(m_storePath), qPrintable(fallback));
            scheduleRetry();
        } else if (copy.error.isEmpty() && !atPath) {
            qCWarning(lcPersistence, "The copy of the history at %s left its path before it was opened: it stays in %s",
                      qPrintable(m_storePath), qPrintable(fallback));
            scheduleRetry();
        } else if (QFileInfo::exists(m_storePath)) {
            // The next try opens what is at the path, and the fallback store moves into it by slices.
            scheduleRetry();
        } else {
            qCWarning(lcPersistence, "The history could not be copied whole to %s (%s): it moves in by slices",
                      qPrintable(m_storePath), qPrintable(why));
            useStoreFile(ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening), opening);
        }
        return;
    }
    // The store holds every row the fallback store held, synced: what waited goes in beside them.
    // The fallback store is removed while still held.
    const std::shared_ptr<FallbackStore::Hold> hold = goOnIn(std::move(container));
    m_store.holdSaves(false);
    // Taken off the path already, the store is held by its connection alone: the fallback store moves in later.
    const bool stays = !m_store.fileGuard().holdsFileAtPath();
    if (!stays)
        FallbackStore::remove(fallback);
    backAtStore();
    m_store.save();
    moveInAll(stays ? fallback : QString(), stays ? hold : nullptr);
}

} // namespace quillmere
