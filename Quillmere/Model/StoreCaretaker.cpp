#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <utility>

namespace quillmere {

StoreCaretaker::StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent)
    : QObject(parent), m_store(store), m_setAside{setup.movedAsidePath, setup.salvagedClips, setup.salvageResumed,
                                                  setup.salvageLoss, setup.movedAsideForeign},
      m_unavailableReason(setup.unavailableReason), m_storePath(setup.unavailableStorePath),
      m_salvagePending(setup.salvagePending)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &StoreCaretaker::retry);
    connect(&m_store, &ClipStore::storeDamaged, this, &StoreCaretaker::damageFound, Qt::QueuedConnection);
    connect(&m_store.fileGuard(), &StoreFileGuard::rearmed, this, [this] { m_damageWaits = false; });
    // Damage met while the guard copied the store is handled once the copy has ended.
    connect(&m_store.fileGuard(), &StoreFileGuard::copyEnded, this, &StoreCaretaker::damageFound, Qt::QueuedConnection);
    connect(&m_store.fileGuard(), &StoreFileGuard::copiedToFallback, this, &StoreCaretaker::goOnInFallback);
    connect(&m_store, &ClipStore::saveFailed, this, [this](bool diskFull, const QString &) {
        // The salvage that follows tells what became of the history.
        if (m_store.context().damageFound())
            return;
        report({StoreTrouble::Kind::saveFailed, {}, diskFull});
        // Held in memory alone, they would go with a kill.
        keepInFallback();
        m_retrySoon = diskFull || m_store.context().lastSaveFailure() == ModelContext::SaveFailure::locked;
        if (!m_retry.isActive())
            scheduleRetry();
        // What was just copied may fit where the whole backlog did not.
        if (diskFull && !m_fitQueued) {
            m_fitQueued = true;
            QTimer::singleShot(0, this, &StoreCaretaker::saveWhatFits);
        }
    });
    connect(&m_store, &ClipStore::didSave, this, [this] {
        if (isAwayFromStore() || m_store.context().hasChanges())
            return;
        m_retry.stop();
        m_nextRetryMs = m_firstRetryMs;
        // The store holds all its fallback store held.
        letPendingGo(true);
    });
}

StoreCaretaker::~StoreCaretaker()
{
    m_stopSalvage->store(true);
}

void StoreCaretaker::setRetryDelays(int firstMs, int longestMs)
{
    m_firstRetryMs = m_nextRetryMs = firstMs;
    m_longestRetryMs = longestMs;
}

void StoreCaretaker::start()
{
    reportSetAside(m_setAside);
    if (m_salvagePending) {
        salvageOnWorker();
        return;
    }
    if (isAwayFromStore()) {
        tellMemoryOnly();
        scheduleRetry();
        return;
    }
    bringBackAll();
}

void StoreCaretaker::tellMemoryOnly()
{
    // Brought back once the store file can be used.
    inBackground(
        this, [path = m_storePath] { return std::make_pair(UnsavedRecovery::all(path), FallbackStore::place(path)); },
        [this](const std::pair<QStringList, std::optional<std::pair<QString, FallbackStore::Place>>> &found) {
            // Moved into the store file meanwhile, which brings the files back itself.
            if (!isAwayFromStore())
                return;
            tellUnsaved({{}, found.first, QStringLiteral("the store cannot take copies for now")},
                        {StoreTrouble::Kind::unsavedBroughtBack});
            if (found.second && !m_store.container().isInMemory())
                m_fallbackPlace = found.second->second;
            StoreTrouble trouble{StoreTrouble::Kind::fallbackSession, m_storePath, false, 0, m_unavailableReason};
            if (m_fallbackPlace) {
                trouble.keptIn = m_fallbackPlace->folder;
                trouble.lasting = m_fallbackPlace->lasting;
            } else {
                qCCritical(lcPersistence, "No folder takes a fallback store: the history is kept in memory only");
            }
            report(trouble);
        });
}

void StoreCaretaker::bringBackAll()
{
    if (m_store.container().isInMemory() || isAwayFromStore() || std::exchange(m_bringingBack, true))
        return;
    inBackground(
        this,
        [path = m_store.container().storeURL()] {
            QStringList paths = FallbackStore::all(path);
            for (const QString &converted : UnsavedRecovery::converted(path, paths))
                paths.removeAll(converted);
            return paths;
        },
        [this](QStringList paths) {
            // The caretaker's own one is still written to, and removed once the store holds it.
            if (m_pending)
                paths.removeAll(m_pending->storeURL());
            moveIn(paths, [this](int) { convertUnsaved(); });
        });
}

void StoreCaretaker::convertUnsaved()
{
    inBackground(
        this,
        [path = m_store.container().storeURL(), now = m_store.now(), hook = m_sliceSaved] {
            auto conversion = UnsavedRecovery::convert(path, UnsavedRecovery::all(path), now, hook);
            return std::make_pair(std::move(conversion), UnsavedRecovery::converted(path, FallbackStore::all(path)));
        },
        [this](const std::pair<UnsavedRecovery::Conversion, QStringList> &converted) {
            // The store was found damaged: the store read back brings them back.
            if (isAwayFromStore()) {
                m_bringingBack = false;
                return;
            }
            QStringList paths = converted.second;
            if (m_pending)
                paths.removeAll(m_pending->storeURL());
            // The files go only once the store holds what they held.
            moveIn(paths, [this, conversion = converted.first](int moved) {
                inBackground(
                    this, [done = conversion.done, moved] { return UnsavedRecovery::settle(done, moved); },
                    [this, conversion](const StoreTrouble &told) {
                        m_bringingBack = false;
                        tellUnsaved(conversion, told);
                    });
            });
        });
}

void StoreCaretaker::moveIn(const QStringList &paths, const std::function<void(int)> &then)
{
    if (paths.isEmpty()) {
        then(0);
        return;
    }
    m_moveIn = std::make_unique<FallbackMoveIn>(m_store, paths);
    m_moveIn->setSliceSavedHook(m_sliceSaved);
    connect(m_moveIn.get(), &FallbackMoveIn::finished, this, [this, then](int moved) {
        m_moveIn.release()->deleteLater();
        then(moved);
    });
    connect(m_moveIn.get(), &FallbackMoveIn::stopped, this, [this] {
        if (!m_retry.isActive())
            scheduleRetry();
    });
    m_moveIn->start();
}

void StoreCaretaker::tellUnsaved(const UnsavedRecovery::Conversion &conversion, const StoreTrouble &told)
{
    if (told.count > 0 || told.unreadable > 0 || told.lost != 0)
        report(told);
    // Told once for the same files: they are tried again at every start.
    const QString toldKey = QStringLiteral("unsavedRecoveryTold");
    const QString kept = conversion.kept.join(QLatin1Char('\n'));
    if (!kept.isEmpty() && m_store.preferences().string(toldKey).value_or(QString()) != kept) {
        m_store.preferences().setString(toldKey, kept);
        report({StoreTrouble::Kind::unsavedAtQuit, conversion.kept.join(QStringLiteral(", ")), false, 0,
                conversion.keptReason});
    }
}

void StoreCaretaker::report(const StoreTrouble &trouble)
{
    if (m_reported.insert(trouble.kind).second)
        Q_EMIT troubleOccurred(trouble);
}

void StoreCaretaker::reportSetAside(const StoreOpening &opening)
{
    if (opening.movedAsidePath.isEmpty())
        return;
    StoreTrouble trouble{StoreTrouble::Kind::storeMovedAside, opening.movedAsidePath, false, opening.salvagedClips};
    trouble.resumed = opening.salvageResumed;
    trouble.loss = opening.salvageLoss;
    trouble.foreign = opening.movedAsideForeign;
    report(trouble);
}

std::shared_ptr<ModelContainer> StoreCaretaker::openFallback(const QString &path, QString *error) const
{
    return ModelContainer::open(path, m_store.clock(), error);
}

void StoreCaretaker::scheduleRetry()
{
    const int longest = m_retrySoon ? std::min(m_longestRetryMs, longestDiskFullRetryMs) : m_longestRetryMs;
    m_nextRetryMs = std::min(m_nextRetryMs, longest);
    m_retry.start(m_nextRetryMs);
    m_nextRetryMs = std::min(longest, m_nextRetryMs * 2);
}

void StoreCaretaker::retry()
{
    if (!isAwayFromStore()) {
        if (m_moveIn)
            m_moveIn->start();
        saveBatch();
        return;
    }
    if (m_salvaging)
        return;
    StoreOpening opening;
    auto container = ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
    if (opening.needsSalvage)
        salvageOnWorker();
    else if (!useStoreFile(std::move(container), opening))
        scheduleRetry();
}

void StoreCaretaker::saveBatch()
{
    // A failure comes back through saveFailed, which schedules the next try; what was written
    // before it stays written. Deferred, the store saves the rest itself.
    if (m_store.context().hasChanges() && m_store.savePart(retryBatch) == ClipStore::SaveResult::saved
        && m_store.context().hasChanges())
        QTimer::singleShot(0, this, &StoreCaretaker::saveBatch);
}

void StoreCaretaker::openPending(const std::optional<std::pair<QString, FallbackStore::Place>> &place)
{
    QString error = QStringLiteral("no folder takes it");
    const QString file = place ? FallbackStore::newFile(place->first) : QString();
    if (!file.isEmpty() && !(m_pending = openFallback(file, &error)))
        // Left empty, it would wait for a move-in at every start.
        FallbackStore::remove(file);
    if (!m_pending)
        qCCritical(lcPersistence, "The copies the store could not take have no fallback store: %s", qPrintable(error));
}

void StoreCaretaker::letPendingGo(bool heldElsewhere)
{
    if (!m_pending)
        return;
    const QString path = m_pending->storeURL();
    m_pending.reset();
    // Otherwise a move-in takes what it holds, finding it among the fallback stores.
    if (heldElsewhere)
        FallbackStore::remove(path);
}

bool StoreCaretaker::keepInFallback(bool now)
{
    if (isAwayFromStore() || m_store.container().isInMemory() || !m_store.context().hasChanges())
        return false;
    // Its own disk failed the store: another folder first.
    if (!m_pending && now)
        openPending(FallbackStore::place(m_store.container().storeURL(), true));
    if (!m_pending) {
        if (std::exchange(m_pendingOpening, true))
            return false;
        inBackground(
            this, [path = m_store.container().storeURL()] { return FallbackStore::place(path, true); },
            [this](const std::optional<std::pair<QString, FallbackStore::Place>> &place) {
                m_pendingOpening = false;
                // Opened meanwhile by the end of the program.
                if (m_pending)
                    return;
                openPending(place);
                if (m_pending)
                    keepInFallback();
            });
        return false;
    }
    FallbackStore::takeIn(m_pending->mainContext(), m_store.context().unsavedRecords());
    QString error;
    if (m_pending->mainContext().save(&error))
        return true;
    qCCritical(lcPersistence, "The fallback store could not take the copies the store could not: %s",
               qPrintable(error));
    return false;
}

void StoreCaretaker::saveWhatFits()
{
    // A few records per turn of the event loop; one that does not fit waits for the next retry.
    m_fitQueued = m_store.saveWhatFits(retryBatch) == retryBatch && m_store.context().hasChanges();
    if (m_fitQueued)
        QTimer::singleShot(0, this, &StoreCaretaker::saveWhatFits);
}

void StoreCaretaker::end()
{
    m_stopSalvage->store(true);
    // The open file may be a deleted store's only copy, gone with the program.
    m_store.fileGuard().checkNow();
    keepAtQuit();
}

int StoreCaretaker::keepAtQuit()
{
    ModelContext &ctx = m_store.context();
    // Only a commit is waited for.
    if (ctx.hasChanges() && !m_store.savesHeld())
        m_store.save();
    if (!ctx.hasChanges() || keepInFallback(true))
        return 0;
    const int count = int(ctx.unsavedRecords().size());
    qCCritical(lcPersistence, "%d changes could not be saved before quitting, nor kept in a fallback store", count);
    return count;
}

void StoreCaretaker::goOnInFallback(const QString &path)
{
    QString error;
    std::shared_ptr<ModelContainer> fallback = openFallback(path, &error);
    if (!fallback) {
        // Moved in by the next start that has the store.
        qCCritical(lcPersistence, "The fallback store at %s cannot be opened: %s", qPrintable(path), qPrintable(error));
        return;
    }
    // What waited while the copy was synced goes with it.
    FallbackStore::takeIn(fallback->mainContext(), m_store.context().unsavedRecords());
    m_storePath = m_store.container().storeURL();
    m_store.fileGuard().closeConnection();
    m_store.switchToContainer(fallback);
    // It holds what the store's full disk kept from it too.
    letPendingGo(m_store.save());
    tellMemoryOnly();
    if (!m_retry.isActive())
        scheduleRetry();
}

void StoreCaretaker::damageFound()
{
    ModelContext &damaged = m_store.context();
    if (!damaged.damageFound() || m_store.container().isInMemory() || isAwayFromStore()) {
        m_damageWaits = false;
        return;
    }
    StoreFileGuard &guard = m_store.fileGuard();
    // A deletion or replacement not noticed yet starts its copy here; a copy given up is tried
    // again by the guard's own looks, as a replacement's waits for changes a damaged store never takes.
    if (!m_damageWaits)
        guard.check();
    if (!guard.holdsFileAtPath()) {
        // The open file may be the history's only copy: the guard copies it back to the path first,
        // damage and all, and the salvage reads that copy.
        if (!std::exchange(m_damageWaits, true))
            qCCritical(lcPersistence,
                       "The store at %s is damaged, but the path no longer names it; it is read back once "
                       "its copy is at the path, or kept as it is beside a file that took the path",
                       qPrintable(m_store.container().storeURL()));
        return;
    }
    m_damageWaits = false;
    m_storePath = m_store.container().storeURL();
    qCCritical(lcPersistence,
               "The store at %s is damaged; reading it back while the history goes on in a fallback "
               "store",
               qPrintable(m_storePath));
    // What the damaged store could not take goes through the fallback store into the store read
    // back; its bytes are read while the file is still open.
    m_store.holdSaves(true);
    for (const auto &record : damaged.unsavedRecords())
        if (record->entity() == Entity::clip) {
            static_cast<const ClipItem &>(*record).imageData();
            static_cast<const ClipItem &>(*record).fileData();
        }
    // Let go of before it moves: nothing of the damaged file stays open to write to it.
    guard.closeConnection();
    // The fallback store found next may be its file: the history takes it over.
    letPendingGo(false);
    inBackground(
        this, [path = m_storePath] { return FallbackStore::place(path); },
        [this](const std::optional<std::pair<QString, FallbackStore::Place>> &place) {
            QString error;
            std::shared_ptr<ModelContainer> fallback = place ? openFallback(place->first, &error) : nullptr;
            if (!fallback)
                fallback = ModelContainerFactory::makeInMemoryContainer(m_store.clock(), &error);
            if (!fallback) {
                qCCritical(lcPersistence, "The damaged store cannot be left: %s", qPrintable(error));
                return;
            }
            FallbackStore::takeIn(fallback->mainContext(), m_store.context().unsavedRecords());
            m_store.switchToContainer(fallback);
            m_store.holdSaves(false);
            m_store.save();
            salvageOnWorker();
        });
}

void StoreCaretaker::salvageOnWorker()
{
    if (m_salvaging)
        return;
    m_salvaging = true;
    m_retry.stop();
    inBackground(
        this,
        [path = m_storePath, now = m_store.now(), stop = m_stopSalvage] {
            return ModelContainerFactory::salvageStoreFile(path, now, {stop.get(), 0});
        },
        [this](const std::optional<StoreSalvage::Outcome> &salvaged) {
            m_salvaging = false;
            const bool pending = std::exchange(m_salvagePending, false);
            StoreOpening opening;
            auto container = salvaged
                ? ModelContainerFactory::openSalvaged(m_storePath, m_store.clock(), *salvaged, &opening)
                : ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
            if (useStoreFile(std::move(container), opening))
                return;
            // Not finished now: the history stays in the fallback store, told so, and it is tried again.
            if (pending || !m_store.container().isInMemory()) {
                m_unavailableReason = opening.error;
                tellMemoryOnly();
            }
            scheduleRetry();
        });
}

bool StoreCaretaker::useStoreFile(std::unique_ptr<ModelContainer> container, const StoreOpening &opening)
{
    reportSetAside(opening);
    if (!container) {
        qCDebug(lcPersistence, "The store at %s is still unavailable: %s", qPrintable(m_storePath),
                qPrintable(opening.error));
        return false;
    }
    qCInfo(lcPersistence, "The store at %s can be used again", qPrintable(m_storePath));
    m_storePath.clear();
    m_fallbackPlace.reset();
    m_nextRetryMs = m_firstRetryMs;
    // A history in memory moves in whole; a fallback store is left saved and moves in by slices.
    if (m_store.container().isInMemory()) {
        m_store.moveHistoryTo(std::move(container));
    } else {
        m_store.save();
        m_store.switchToContainer(std::move(container));
    }
    bringBackAll();
    return true;
}

} // namespace quillmere
