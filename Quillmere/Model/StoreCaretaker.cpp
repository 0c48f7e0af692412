#include "Quillmere/Model/StoreCaretaker.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/OldRecoveryFiles.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QFileInfo>
#include <QSqlQuery>

#include <utility>

namespace quillmere {

StoreCaretaker::StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent)
    : QObject(parent), m_store(store), m_setAside{setup.movedAsidePath, setup.salvagedClips, setup.salvageResumed,
                                                  setup.salvageLoss, setup.movedAsideForeign},
      m_unavailableReason(setup.unavailableReason), m_storePath(setup.unavailableStorePath),
      m_lockStore(setup.lockStore), m_salvagePending(setup.salvagePending)
{
    m_store.fileGuard().setHistoryOf(m_storePath);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &StoreCaretaker::retry);
    connect(&m_store, &ClipStore::storeDamaged, this, &StoreCaretaker::damageFound, Qt::QueuedConnection);
    connect(&m_store.fileGuard(), &StoreFileGuard::rearmed, this, [this] { m_damageWaits = false; });
    // Damage met while the guard copied the store is handled once the copy has ended.
    connect(&m_store.fileGuard(), &StoreFileGuard::copyEnded, this, &StoreCaretaker::damageFound, Qt::QueuedConnection);
    connect(
        &m_store.fileGuard(), &StoreFileGuard::copyEnded, this,
        [this] {
            if (m_moveInLeftFile && m_step == Step::none && !hasLeftStore() && m_store.fileGuard().holdsFileAtPath()) {
                m_moveInLeftFile = false;
                moveInAll();
            }
        },
        Qt::QueuedConnection);
    connect(&m_store.fileGuard(), &StoreFileGuard::copiedToFallback, this, &StoreCaretaker::goOnInFallback);
    connect(&m_store, &ClipStore::saveFailed, this, [this](bool diskFull, const QString &) {
        // The salvage that follows tells what became of the history.
        if (m_store.context().damageFound())
            return;
        report({StoreTrouble::Kind::saveFailed, {}, diskFull});
        // Held in memory alone, they would go with a kill.
        keepInFallback();
        m_retrySoon = diskFull || m_store.context().lastSaveFailure() == ModelContext::SaveFailure::locked;
        scheduleRetry();
        // What was just copied may fit where the whole backlog did not.
        if (diskFull && !std::exchange(m_fitQueued, true))
            QTimer::singleShot(0, this, [this] { saveInSteps(true); });
    });
    connect(&m_store, &ClipStore::changesHeld, this, [this] {
        if (m_lockLost)
            keepInFallback();
    });
    connect(&m_store, &ClipStore::didSave, this, [this] {
        if (hasLeftStore() || m_store.context().hasChanges())
            return;
        m_retry.stop();
        m_nextRetryMs = m_firstRetryMs;
        // The store holds all its fallback store held, through a power cut once synced; what either
        // took since waits for the sync after the next save.
        letFallbackGoOnceSynced(m_store.context().changeCount());
    });
}

void StoreCaretaker::setRetryDelays(int firstMs, int longestMs)
{
    m_firstRetryMs = m_nextRetryMs = firstMs;
    m_longestRetryMs = longestMs;
}

void StoreCaretaker::start()
{
    reportSetAside(m_setAside);
    tellOldRecoveryFiles();
    if (m_salvagePending)
        salvageOnWorker();
    else if (hasLeftStore()) {
        tellFallbackSession();
        scheduleRetry();
    } else
        moveInAll();
}

void StoreCaretaker::tellFallbackSession()
{
    inBackground(
        this,
        [path = m_storePath, file = m_store.container().storeURL()] {
            return FallbackStore::folderHolding(path, file);
        },
        [this](const auto &found) {
            // Moved into the store file meanwhile.
            if (!hasLeftStore())
                return;
            if (found && !m_store.container().isInMemory())
                m_fallbackPlace = found;
            else if (!m_fallbackPlace)
                qCCritical(lcPersistence, "No folder takes a fallback store: the history is kept in memory only");
            StoreTrouble trouble{StoreTrouble::Kind::fallbackSession, m_storePath, false, 0, m_unavailableReason};
            trouble.keptIn = m_fallbackPlace.value_or(FallbackStore::Place{}).folder;
            trouble.lasting = m_fallbackPlace.value_or(FallbackStore::Place{}).lasting;
            report(trouble);
        });
}

void StoreCaretaker::moveInAll(const QString &left, std::shared_ptr<FallbackStore::Hold> leftHold)
{
    if (m_store.container().isInMemory() || hasLeftStore() || std::exchange(m_movingInAll, true))
        return;
    inBackground(
        this,
        [path = m_store.container().storeURL(), left] {
            FallbackStore::removeUnfinishedCopy(path);
            QStringList paths = FallbackStore::all(path);
            if (!left.isEmpty() && !paths.contains(left) && QFileInfo::exists(left))
                paths << left;
            return paths;
        },
        [this, leftHold = std::move(leftHold)](const QStringList &paths) {
            moveIn(
                paths, [this](int) { m_movingInAll = false; }, leftHold);
        });
}

void StoreCaretaker::tellOldRecoveryFiles()
{
    const QString path = hasLeftStore()    ? m_storePath
        : m_store.container().isInMemory() ? QString()
                                           : m_store.container().storeURL();
    if (path.isEmpty())
        return;
    // Kept across starts: nothing takes the files away, and each is named once.
    const QString toldKey = QStringLiteral("oldRecoveryFilesTold");
    const QStringList told = m_store.preferences().stringList(toldKey).value_or(QStringList());
    inBackground(
        this, [path, told] { return OldRecoveryFiles::look(path, told); },
        [this, told, toldKey](const OldRecoveryFiles::Found &found) {
            for (const OldRecoveryFiles::File &file : found.untold) {
                const QString clips = file.clips < 0 ? QStringLiteral("an unknown number of clips")
                    : file.clips == 1                ? QStringLiteral("1 clip")
                                                     : QStringLiteral("%1 clips").arg(file.clips);
                qCWarning(lcPersistence,
                          "%s, a recovery file of an earlier release, holds %s; it is no longer read and is left "
                          "as it is",
                          qPrintable(file.path), qPrintable(clips));
            }
            if (!found.untold.empty()) {
                StoreTrouble trouble{StoreTrouble::Kind::oldRecoveryFiles};
                trouble.oldRecoveryFiles = found.untold;
                report(trouble);
            }
            if (found.all.isEmpty() && !told.isEmpty())
                m_store.preferences().remove(toldKey);
            else if (found.all != told)
                m_store.preferences().setValue(toldKey, found.all);
        });
}

void StoreCaretaker::moveIn(QStringList paths, const std::function<void(int)> &then,
                            std::shared_ptr<FallbackStore::Hold> held)
{
    // The store was left meanwhile, or is not ours to write: what waits moves in once it is back.
    if (hasLeftStore() || m_step != Step::none || m_lockLost) {
        m_movingInAll = false;
        return;
    }
    // The caretaker's own fallback store is still written to, and removed once the store holds it.
    if (m_fallback)
        paths.removeAll(m_fallback->storeURL());
    if (paths.isEmpty()) {
        then(0);
        return;
    }
    m_moveIn = std::make_unique<FallbackMoveIn>(m_store, paths, std::move(held));
    m_moveIn->setSliceSavedHook([this] {
        if (m_sliceSaved)
            m_sliceSaved();
        // Rows go into the store only where its path reaches them: stopped before the next slice.
        if (!m_store.fileGuard().holdsFileAtPath() && !std::exchange(m_moveInLeftFile, true))
            QTimer::singleShot(0, this, [this] {
                if (m_moveInLeftFile) {
                    stopMoveIn();
                    m_moveInLeftFile = true;
                }
            });
    });
    connect(m_moveIn.get(), &FallbackMoveIn::finished, this, [this, then](int moved) {
        m_moveIn.release()->deleteLater();
        then(moved);
    });
    connect(m_moveIn.get(), &FallbackMoveIn::stopped, this, &StoreCaretaker::scheduleRetry);
    m_moveIn->start();
}

void StoreCaretaker::report(const StoreTrouble &trouble)
{
    if (m_reported.insert(trouble.kind).second)
        Q_EMIT troubleOccurred(trouble);
}

void StoreCaretaker::reportSetAside(const StoreOpening &o)
{
    // Each file set aside is told, however many this session set aside before: each holds copies.
    if (o.movedAsidePath.isEmpty() || !m_toldAside.insert(o.movedAsidePath).second)
        return;
    StoreBesideFiles::noteLoss(m_store.preferences(), o.movedAsidePath, o.salvageLoss);
    Q_EMIT troubleOccurred({StoreTrouble::Kind::storeMovedAside, o.movedAsidePath, false, o.salvagedClips, QString(),
                            o.salvageResumed, o.salvageLoss, o.movedAsideForeign});
}

void StoreCaretaker::scheduleRetry()
{
    if (m_retry.isActive())
        return;
    const int longest = m_retrySoon ? std::min(m_longestRetryMs, longestDiskFullRetryMs) : m_longestRetryMs;
    m_nextRetryMs = std::min(m_nextRetryMs, longest);
    m_retry.start(m_nextRetryMs);
    m_nextRetryMs = std::min(longest, m_nextRetryMs * 2);
}

void StoreCaretaker::retry()
{
    // Damage handled meanwhile ends with the store read back, which looks after the rest.
    if (m_step != Step::none)
        return;
    if (m_lockLost && !hasLeftStore()) {
        if (QString why; !holdsLock(&why)) {
            qCDebug(lcPersistence, "The store is still not ours to write: %s", qPrintable(why));
            scheduleRetry();
            return;
        }
        m_lockLost = false;
        m_store.holdSaves(false);
        qCInfo(lcPersistence, "The store at %s is locked again: what waited goes into it",
               qPrintable(m_store.container().storeURL()));
        moveInAll();
    }
    if (!hasLeftStore()) {
        saveInSteps(false);
    } else if (!m_store.container().isInMemory() && !m_store.fileGuard().holdsFileAtPath()) {
        // Not before the guard has put the fallback store's file back, or in another one.
        m_store.fileGuard().check();
        scheduleRetry();
    } else {
        StoreOpening opening;
        std::unique_ptr<ModelContainer> container;
        if (!holdsLock(&opening.error))
            opening.failure = ModelContainer::OpenFailure::other;
        else if (copyWholeToStore())
            return;
        else
            container = ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
        if (opening.needsSalvage)
            salvageOnWorker();
        else
            useStoreFile(std::move(container), opening);
    }
}

void StoreCaretaker::lockLost(const QString &why)
{
    // A salvage writes the store's file: it stops where it is, and a later try, with the lock held
    // again, finishes it.
    if (m_step == Step::salvaging && !std::exchange(m_lockLost, true)) {
        qCCritical(lcPersistence, "The store at %s is no longer locked by this process (%s): its salvage stops",
                   qPrintable(m_storePath), qPrintable(why));
        m_salvageStop->store(true);
        report({StoreTrouble::Kind::lockLost, m_storePath, false, 0, why});
        return;
    }
    // Once the store is left, or while leaving it, the history is written to a fallback store, and going back asks for the lock.
    if (m_store.container().isInMemory() || hasLeftStore() || m_step != Step::none || std::exchange(m_lockLost, true))
        return;
    qCCritical(lcPersistence, "The store at %s is no longer locked by this process (%s): it is not written until it is",
               qPrintable(m_store.container().storeURL()), qPrintable(why));
    stopMoveIn();
    m_store.holdSaves(true);
    report({StoreTrouble::Kind::lockLost, m_store.container().storeURL(), false, 0, why});
    keepInFallback();
    m_retrySoon = true;
    scheduleRetry();
}

bool StoreCaretaker::holdsLock(QString *why) const
{
    if (!m_lockStore || m_lockStore(why))
        return true;
    *why = QStringLiteral("it cannot be locked against a second start: %1").arg(*why);
    return false;
}

void StoreCaretaker::stopMoveIn()
{
    m_moveInLeftFile = false;
    if (!m_moveIn)
        return;
    m_moveIn->cancel();
    m_moveIn.release()->deleteLater();
    // Its moving in ends with it: the next one lists what is left.
    m_movingInAll = false;
}

void StoreCaretaker::saveInSteps(bool whatFits)
{
    // A few records per turn of the event loop. A failure comes back through saveFailed, which schedules
    // the next try; what was written before it stays. Deferred, the store saves the rest itself.
    ModelContext &ctx = m_store.context();
    const bool whole = whatFits ? m_store.saveWhatFits(retryBatch) == retryBatch
                                : ctx.hasChanges() && m_store.savePart(retryBatch) == ClipStore::SaveResult::saved;
    const bool again = whole && ctx.hasChanges();
    if (whatFits)
        m_fitQueued = again;
    if (again)
        QTimer::singleShot(0, this, [this, whatFits] { saveInSteps(whatFits); });
}

bool StoreCaretaker::openFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place)
{
    QString error = QStringLiteral("no folder takes it");
    const std::shared_ptr<FallbackStore::Hold> file = place ? FallbackStore::makeHeldFile(place->first) : nullptr;
    if (file && !(m_fallback = ModelContainer::open(file->path(), m_store.clock(), &error)))
        // Left empty, it would wait for a move-in at every start.
        FallbackStore::remove(file->path());
    if (m_fallback)
        m_fallback->keepHold(file);
    if (!m_fallback)
        qCCritical(lcPersistence, "The copies the store could not take have no fallback store: %s", qPrintable(error));
    return m_fallback != nullptr;
}

std::shared_ptr<FallbackStore::Hold> StoreCaretaker::goOnIn(std::shared_ptr<ModelContainer> container)
{
    // What waits in memory goes with the history, and nothing more is written to the file it leaves.
    FallbackStore::takeIn(container->mainContext(), m_store.context().unsavedRecords());
    m_store.fileGuard().closeConnection();
    std::shared_ptr<FallbackStore::Hold> left = m_store.container().takeHold();
    m_store.switchToContainer(std::move(container));
    return left;
}

void StoreCaretaker::letFallbackGoOnceSynced(std::optional<quint64> changes)
{
    m_store.container().whenSynced(this, [this, fallback = std::weak_ptr<ModelContainer>(m_fallback), changes] {
        if (m_fallback && m_fallback == fallback.lock() && (!changes || m_store.context().changeCount() == *changes))
            letFallbackGo(true);
    });
}

void StoreCaretaker::letFallbackGo(bool storeHoldsIt)
{
    if (!m_fallback)
        return;
    // Removed while still held, so that no other program takes the name over meanwhile.
    const std::shared_ptr<FallbackStore::Hold> hold = m_fallback->takeHold();
    const QString path = std::exchange(m_fallback, nullptr)->storeURL();
    // Otherwise a move-in takes what it holds, finding it among the fallback stores.
    if (storeHoldsIt)
        FallbackStore::remove(path);
}

bool StoreCaretaker::keepInFallback(bool now)
{
    // While a damaged store is left, what it refused has no fallback store yet: one is made at the end.
    const bool leaving = m_step == Step::leavingDamaged && now;
    if ((hasLeftStore() && !leaving) || m_store.container().isInMemory() || !m_store.context().hasChanges())
        return false;
    // Its own disk failed the store: another folder first.
    const auto place = [path = m_store.container().storeURL()] { return FallbackStore::nameAndFolder(path, true); };
    if (!m_fallback && now)
        openFallback(place());
    if (!m_fallback && !std::exchange(m_fallbackOpening, true))
        inBackground(this, place, [this](const auto &found) {
            m_fallbackOpening = false;
            // Opened meanwhile by the end of the program; or the store was left, and its changes went
            // with the history.
            if (!m_fallback && m_step == Step::none && !hasLeftStore() && openFallback(found))
                keepInFallback();
        });
    if (!m_fallback)
        return false;
    FallbackStore::takeIn(m_fallback->mainContext(), m_store.context().unsavedRecords());
    QString error;
    if (m_fallback->mainContext().save(&error))
        return true;
    qCCritical(lcPersistence, "The fallback store could not take the copies the store could not: %s",
               qPrintable(error));
    return false;
}

void StoreCaretaker::end()
{
    m_quitting->store(true);
    m_salvageStop->store(true);
    // No slice commits after this; what waits for the one under way goes to a fallback store below.
    stopMoveIn();
    // What waited for a whole copy under way goes into the fallback store, which the next start finds.
    if (m_step == Step::copyingWhole) {
        m_step = Step::none;
        m_store.holdSaves(false);
    }
    for (ModelContext *ctx : {&m_store.context(), m_fallback ? &m_fallback->mainContext() : nullptr})
        if (ctx && ctx->database().isOpen())
            QSqlQuery(ctx->database()).exec(ModelContainer::syncPragma());
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
    if (m_store.container().isInMemory()) {
        // Kept in memory only since no folder took it: it all goes with the program.
        const int lost = hasLeftStore() || m_step != Step::none ? int(ctx.clipCount()) : 0;
        if (lost > 0)
            qCCritical(lcPersistence, "No folder took the history: the %d clips kept in memory only are lost", lost);
        return lost;
    }
    if (!ctx.hasChanges() || keepInFallback(true)) {
        const QString where = !ctx.hasChanges() ? m_store.container().storeURL() : m_fallback->storeURL();
        // Saved into a file that no longer has that name, the history goes with the program.
        if (const auto held = m_store.fileGuard().heldFile();
            !ctx.hasChanges() && held && ctx.database().isOpen() && FileIdentity::of(where) != held) {
            qCCritical(lcPersistence,
                       "The history's file is no longer at %s and its copy could not be put there: the %lld clips "
                       "it held are lost",
                       qPrintable(where), qlonglong(ctx.clipCount()));
            return int(ctx.clipCount());
        }
        qCInfo(lcPersistence, "Every copy is on disk, the last ones in %s", qPrintable(where));
        return 0;
    }
    const int count = int(ctx.unsavedRecords().size());
    qCCritical(lcPersistence,
               "%d changes could not be saved before quitting, nor kept in a fallback store: they are lost", count);
    return count;
}

void StoreCaretaker::goOnInFallback(const QString &path, std::shared_ptr<FallbackStore::Hold> hold)
{
    QString error;
    std::shared_ptr<ModelContainer> fallback = ModelContainer::open(path, m_store.clock(), &error);
    if (!fallback) {
        // Moved in by the next start that has the store.
        qCCritical(lcPersistence, "The fallback store at %s cannot be opened: %s", qPrintable(path), qPrintable(error));
        return;
    }
    fallback->keepHold(std::move(hold));
    // Nothing more moves into the file left behind.
    stopMoveIn();
    // The fallback store takes saves whoever holds the store's lock.
    if (std::exchange(m_lockLost, false))
        m_store.holdSaves(false);
    // A fallback store deleted in its turn leaves the store file to go back to as it was.
    if (!hasLeftStore()) {
        m_storePath = m_store.container().storeURL();
        m_leftDeletedStore = true;
    }
    // What waited while the copy was synced goes with it.
    goOnIn(fallback);
    m_store.fileGuard().setHistoryOf(m_storePath);
    // It holds what the store's full disk kept from it too, once synced.
    if (m_store.save())
        letFallbackGoOnceSynced();
    tellFallbackSession();
    scheduleRetry();
}

void StoreCaretaker::damageFound()
{
    ModelContext &damaged = m_store.context();
    StoreFileGuard &guard = m_store.fileGuard();
    const bool waits = std::exchange(m_damageWaits, false);
    if (!damaged.damageFound() || m_store.container().isInMemory() || hasLeftStore() || m_step != Step::none)
        return;
    // Whatever would write the damaged store, or leave it, stops first.
    m_retry.stop();
    stopMoveIn();
    // A deletion or replacement not noticed yet starts its copy here; a copy given up is tried
    // again by the guard's own looks, as a replacement's waits for changes a damaged store never takes.
    if (!waits)
        guard.check();
    if (!guard.holdsFileAtPath()) {
        // The open file may be the history's only copy: the guard copies it back to the path first,
        // damage and all, and the salvage reads that copy.
        m_damageWaits = true;
        if (!waits)
            qCCritical(lcPersistence,
                       "The store at %s is damaged, but the path no longer names it; it is read back once "
                       "its copy is at the path, or kept as it is beside a file that took the path",
                       qPrintable(m_store.container().storeURL()));
        return;
    }
    m_step = Step::leavingDamaged;
    // Going back to the store read back asks for the lock.
    m_lockLost = false;
    m_storePath = m_store.container().storeURL();
    qCCritical(lcPersistence,
               "The store at %s is damaged; reading it back while the history goes on in a fallback store",
               qPrintable(m_storePath));
    // What the damaged store could not take goes through the fallback store into the store read
    // back; its bytes are read while the file is still open.
    m_store.holdSaves(true, true);
    for (const auto &record : damaged.unsavedRecords())
        if (record->entity() == Entity::clip) {
            static_cast<const ClipItem &>(*record).imageData();
            static_cast<const ClipItem &>(*record).fileData();
        }
    // Let go of before it moves: nothing of the damaged file stays open to write to it.
    guard.closeConnection();
    // What the store refused stays in its file, which the store read back takes in.
    letFallbackGo(false);
    // A file of its own: never one the refused copies or a move-in hold. Saves are held meanwhile:
    // on a thread of the caretaker's own, never behind the shared pool's work.
    inBackground(
        this, [path = m_storePath] { return FallbackStore::makeHeldFileIn(path); },
        [this](const std::optional<FallbackStore::Held> &place) { leaveDamaged(place); }, m_stepThread.pool());
}

void StoreCaretaker::leaveDamaged(const std::optional<FallbackStore::Held> &place)
{
    QString error;
    std::shared_ptr<ModelContainer> fallback =
        place ? ModelContainer::open(place->file->path(), m_store.clock(), &error) : nullptr;
    if (fallback)
        fallback->keepHold(place->file);
    else if (place)
        FallbackStore::remove(place->file->path());
    if (!fallback && !(fallback = ModelContainerFactory::makeInMemoryContainer(m_store.clock(), &error))) {
        qCCritical(lcPersistence, "The damaged store cannot be left: %s", qPrintable(error));
        m_step = Step::none;
        return;
    }
    goOnIn(fallback);
    m_store.fileGuard().setHistoryOf(m_storePath);
    m_store.holdSaves(false);
    m_store.save();
    m_step = Step::none;
    salvageOnWorker();
}

void StoreCaretaker::salvageOnWorker()
{
    if (m_step != Step::none)
        return;
    if (m_storePath.isEmpty()) {
        qCCritical(lcPersistence, "No store file is named to read back");
        return;
    }
    // A salvage writes the store's file: not while another process may.
    if (QString why; !holdsLock(&why)) {
        m_unavailableReason = why;
        tellFallbackSession();
        scheduleRetry();
        return;
    }
    m_step = Step::salvaging;
    m_retry.stop();
    m_lockLost = false;
    m_salvageStop = std::make_shared<std::atomic<bool>>(m_quitting->load());
    inBackground(
        this,
        [path = m_storePath, now = m_store.now(), stop = m_salvageStop] {
            return ModelContainerFactory::salvageStoreFile(path, now, {stop.get(), 0});
        },
        [this](const std::optional<StoreSalvage::Outcome> &salvaged) {
            m_step = Step::none;
            const bool pending = std::exchange(m_salvagePending, false);
            StoreOpening opening;
            auto container = salvaged
                ? ModelContainerFactory::openSalvaged(m_storePath, m_store.clock(), *salvaged, &opening)
                : ModelContainerFactory::openStoreFile(m_storePath, m_store.clock(), &opening);
            // Not finished now: the history stays in the fallback store, told so, and it is tried again.
            if (!useStoreFile(std::move(container), opening) && (pending || !m_store.container().isInMemory())) {
                m_unavailableReason = opening.error;
                tellFallbackSession();
            }
        });
}

bool StoreCaretaker::useStoreFile(std::unique_ptr<ModelContainer> container, const StoreOpening &opening)
{
    reportSetAside(opening);
    if (!container) {
        qCDebug(lcPersistence, "The store at %s is still unavailable: %s", qPrintable(m_storePath),
                qPrintable(opening.error));
        scheduleRetry();
        return false;
    }
    // The fallback store's file left its path meanwhile: its connection may hold its only copy.
    if (!m_store.container().isInMemory() && !m_store.fileGuard().holdsFileAtPath()) {
        m_store.fileGuard().check();
        scheduleRetry();
        return false;
    }
    // Opened a while after the lock was asked for (a salvage takes its time): asked again.
    if (QString why; !holdsLock(&why)) {
        qCDebug(lcPersistence, "The store at %s is not ours to write now: %s", qPrintable(m_storePath),
                qPrintable(why));
        scheduleRetry();
        return false;
    }
    // A lock lost during a salvage is held again.
    m_lockLost = false;
    // A history in memory moves in whole; a fallback store is left saved and moves in by slices,
    // and what it could not take goes into the store with it.
    QString left;
    std::shared_ptr<FallbackStore::Hold> leftHold;
    if (m_store.container().isInMemory()) {
        m_store.moveHistoryTo(std::move(container));
    } else {
        m_store.save();
        left = m_store.container().storeURL();
        leftHold = goOnIn(std::move(container));
    }
    backAtStore();
    m_store.save();
    moveInAll(left, std::move(leftHold));
    return true;
}

void StoreCaretaker::backAtStore()
{
    qCInfo(lcPersistence, "The store at %s can be used again", qPrintable(m_storePath));
    m_storePath.clear();
    m_store.fileGuard().setHistoryOf({});
    m_leftDeletedStore = false;
    m_unavailableReason.clear();
    m_fallbackPlace.reset();
    m_nextRetryMs = m_firstRetryMs;
}

} // namespace quillmere
