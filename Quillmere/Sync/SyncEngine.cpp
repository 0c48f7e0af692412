#include "Quillmere/Sync/SyncEngine.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Sync/SyncLogging.h"
#include "Quillmere/Sync/SyncNames.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <limits>

namespace quillmere {
namespace {

const QString kExportTarget = QStringLiteral("export.target");
const QString kExportProgress = QStringLiteral("export.progress");
const QString kImportProgress = QStringLiteral("import.progress");

QJsonObject exportProgressJson(const ExportProgress &p)
{
    QJsonObject recent;
    for (auto it = p.recent.constBegin(); it != p.recent.constEnd(); ++it)
        recent.insert(it.key(), double(*it));
    return {{SyncNames::watermark, double(p.watermark)},
            {SyncNames::recent, recent},
            {SyncNames::deletionRow, double(p.deletionRow)},
            {SyncNames::nextNumber, double(p.nextNumber)}};
}

ExportProgress exportProgressFrom(const QJsonObject &o)
{
    ExportProgress p;
    p.watermark = SyncFolder::integerIn(o.value(SyncNames::watermark), -1, SyncFolder::maxDateMs).value_or(-1);
    const QJsonObject recent = o.value(SyncNames::recent).toObject();
    for (auto it = recent.begin(); it != recent.end(); ++it)
        p.recent.insert(it.key(), SyncFolder::integerIn(*it, 0, SyncFolder::maxDateMs).value_or(0));
    p.deletionRow = SyncFolder::integerIn(o.value(SyncNames::deletionRow), 0, SyncFolder::maxInteger).value_or(0);
    p.nextNumber = SyncFolder::integerIn(o.value(SyncNames::nextNumber), 1, SyncFolder::maxInteger).value_or(1);
    return p;
}

} // namespace

SyncEngine::SyncEngine(ClipStore &store, Options options, QObject *parent)
    : QObject(parent), m_store(store), m_options(std::move(options))
{
    m_exportTimer.setSingleShot(true);
    m_importTimer.setSingleShot(true);
    connect(&m_exportTimer, &QTimer::timeout, this, &SyncEngine::startExport);
    connect(&m_importTimer, &QTimer::timeout, this, &SyncEngine::startImport);
    connect(&m_rescanTimer, &QTimer::timeout, this, [this] {
        checkAvailability();
        scheduleImport();
        // Changes saved without a notice (test clips cleaned) still go out; a look that finds
        // nothing is not reported.
        if (!m_exporting && !m_exportTimer.isActive()) {
            m_quietExport = true;
            m_exportTimer.start(0);
        }
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &SyncEngine::scheduleImport);
}

SyncEngine::~SyncEngine()
{
    m_cancelled->store(true);
}

QString SyncEngine::meta(const QString &key) const
{
    return SyncBookkeeping(m_store.context()).meta(key);
}

bool SyncEngine::start()
{
    if (m_running)
        return true;
    if (m_store.container().isInMemory() || !SyncFolder::isValidDeviceID(m_options.device)) {
        qCWarning(lcSync, "Sync needs a store file and a device id");
        return false;
    }
    SyncBookkeeping bookkeeping(m_store.context());
    bookkeeping.versions([&](const storerow::SyncVersion &v) {
        m_versions.insert(v.recordID, {v.modifiedAt, v.device, v.localModifiedAt, v.deleted});
    });
    // Another folder or device id starts afresh: everything is written there again.
    const QString target = m_options.root + QLatin1Char('\n') + m_options.device;
    if (meta(kExportTarget) == target) {
        m_exportProgress = exportProgressFrom(QJsonDocument::fromJson(meta(kExportProgress).toUtf8()).object());
        const QJsonObject devices = QJsonDocument::fromJson(meta(kImportProgress).toUtf8()).object();
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            DeviceProgress p;
            p.last =
                SyncFolder::integerIn(it->toObject().value(SyncNames::last), 0, SyncFolder::maxInteger).value_or(0);
            for (const QJsonValue &n : it->toObject().value(SyncNames::pending).toArray()) {
                const auto number = SyncFolder::integerIn(n, p.last - SyncFolder::numberWindow, p.last);
                if (number)
                    p.pending.insert(*number);
            }
            m_importProgress.insert(it.key(), p);
        }
    } else {
        bookkeeping.setMeta(kExportTarget, target);
        bookkeeping.removeMeta({kExportProgress, kImportProgress});
    }
    m_running = true;
    m_saveConnection = connect(&m_store, &ClipStore::didSave, this, &SyncEngine::scheduleExport);

    emitEvent(SyncEvent::Type::setup, std::nullopt);
    QString error;
    m_available = SyncFolder::prepareDevice(m_options.root, m_options.device, &error);
    emitEvent(SyncEvent::Type::setup, m_available, error);
    watchDevices(SyncFolder::otherDevices(m_options.root, m_options.device));
    m_rescanTimer.start(m_options.rescanIntervalMs);
    m_exportTimer.start(0);
    m_importTimer.start(0);
    return true;
}

void SyncEngine::stop()
{
    if (!m_running)
        return;
    m_running = false;
    m_cancelled->store(true);
    m_cancelled = std::make_shared<std::atomic_bool>(false);
    // Records left unapplied are read again after a start; nothing else waits for them.
    if (m_apply) {
        m_apply.reset();
        m_importing = false;
    }
    disconnect(m_saveConnection);
    m_exportTimer.stop();
    m_importTimer.stop();
    m_rescanTimer.stop();
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    m_watched.clear();
}

void SyncEngine::scheduleExport()
{
    if (!m_running)
        return;
    m_quietExport = false;
    if (m_exporting)
        m_exportAgain = true;
    else
        m_exportTimer.start(m_options.exportDelayMs);
}

void SyncEngine::scheduleImport()
{
    if (!m_running)
        return;
    if (m_importing)
        m_importAgain = true;
    else if (!m_importTimer.isActive())
        m_importTimer.start(m_options.importDelayMs);
}

bool SyncEngine::isIdle() const
{
    return !m_exporting && !m_importing && !m_exportTimer.isActive() && !m_importTimer.isActive();
}

void SyncEngine::maybeIdle()
{
    if (isIdle())
        Q_EMIT becameIdle();
}

void SyncEngine::emitEvent(SyncEvent::Type type, std::optional<bool> succeeded, const QString &error)
{
    SyncEvent e;
    e.type = type;
    e.startDate = m_store.now();
    if (succeeded) {
        e.endDate = e.startDate;
        e.succeeded = *succeeded;
        if (!*succeeded && !error.isEmpty())
            e.errorDescription = error;
    }
    Q_EMIT event(e);
}

void SyncEngine::checkAvailability()
{
    const bool available = SyncFolder::isAvailable(m_options.root);
    if (available == m_available)
        return;
    m_available = available;
    qCInfo(lcSync, "The sync folder %s is %s", qPrintable(m_options.root), available ? "back" : "gone");
    Q_EMIT availabilityChanged(available);
    if (available) {
        scheduleExport();
        scheduleImport();
    }
}

void SyncEngine::watchDevices(const QStringList &devices)
{
    QStringList dirs;
    const QString container = SyncFolder::containerPath(m_options.root);
    if (!m_watched.contains(QString()) && QFileInfo(container).isDir() && !QFileInfo(container).isSymLink()) {
        m_watched.insert(QString());
        dirs << container;
    }
    for (const QString &device : devices) {
        if (m_watched.contains(device))
            continue;
        const QString changes = SyncFolder::devicePath(m_options.root, device) + QStringLiteral("/changes");
        const QFileInfo info(changes);
        if (!info.isDir() || info.isSymLink())
            continue;
        m_watched.insert(device);
        dirs << changes;
    }
    if (!dirs.isEmpty())
        m_watcher.addPaths(dirs);
}

void SyncEngine::startExport()
{
    if (!m_running || m_exporting)
        return;
    // Not while records are being applied: an export must never see a row without its note.
    if (m_apply) {
        m_exportAgain = true;
        return;
    }
    m_exporting = true;
    m_exportAgain = false;
    m_exportQuietly = m_quietExport;
    m_quietExport = false;
    if (!m_exportQuietly)
        emitEvent(SyncEvent::Type::export_, std::nullopt);
    ExportJob job{m_store.container().storeURL(), m_options.root, m_options.device, m_exportProgress,
                  m_options.compactAfter};
    inBackground(
        this, [job] { return runExport(job); }, [this](ExportResult result) { finishExport(result); });
}

void SyncEngine::finishExport(const ExportResult &result)
{
    m_exporting = false;
    if (result.ok) {
        m_exportProgress = result.progress;
        saveExportProgress();
    } else {
        // The progress stays where it was: the next export writes the same changes again.
        qCWarning(lcSync, "Export failed: %s", qPrintable(result.error));
    }
    if (m_exportQuietly && (!result.ok || result.exported > 0))
        emitEvent(SyncEvent::Type::export_, std::nullopt);
    if (!m_exportQuietly || !result.ok || result.exported > 0)
        emitEvent(SyncEvent::Type::export_, result.ok, result.error);
    checkAvailability();
    if (m_exportAgain && m_running)
        m_exportTimer.start(m_options.exportDelayMs);
    if (m_deferredImport) {
        ImportResult deferred = std::move(*m_deferredImport);
        m_deferredImport.reset();
        finishImport(std::move(deferred)); // ends with its own idle check
        return;
    }
    maybeIdle();
}

void SyncEngine::saveExportProgress()
{
    QString error;
    if (!SyncBookkeeping(m_store.context())
             .setMeta(
                 kExportProgress,
                 QString::fromUtf8(QJsonDocument(exportProgressJson(m_exportProgress)).toJson(QJsonDocument::Compact)),
                 &error))
        qCWarning(lcSync, "Could not keep the export progress: %s", qPrintable(error));
}

void SyncEngine::startImport()
{
    if (!m_running || m_importing)
        return;
    m_importing = true;
    m_importAgain = false;
    ImportJob job{m_options.root, m_options.device, m_importProgress};
    job.cancelled = m_cancelled;
    inBackground(
        this, [job] { return runImport(job); },
        [this](ImportResult result) {
            // Applied only while no export reads the store, so an export never sees an imported row
            // without the note that it was imported.
            if (m_exporting)
                m_deferredImport = std::move(result);
            else
                finishImport(std::move(result));
        });
}

} // namespace quillmere
