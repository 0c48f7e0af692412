#include "Support/PowerCutFiles.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::test {
namespace {

// A write or a cut the disk has not taken yet.
struct Step {
    sqlite3_int64 offset = 0; // where a write starts; the new size of a cut
    std::string bytes;
    bool cut = false;
    // When it was taken, among every file's steps.
    std::uint64_t serial = 0;
};

// What a file would hold on a disk that took its held steps: `size` its length.
sqlite3_int64 sizeAfter(const std::vector<Step> &steps, sqlite3_int64 size)
{
    for (const Step &s : steps)
        size = s.cut ? s.offset : std::max<sqlite3_int64>(size, s.offset + sqlite3_int64(s.bytes.size()));
    return size;
}

} // namespace

struct PowerCutFiles::State {
    sqlite3_vfs vfs{};
    sqlite3_vfs *base = nullptr;
    bool holdWrites = true;
    mutable std::mutex mutex;
    mutable std::condition_variable closed;
    // Held steps by file name, shared by every handle on the file.
    std::map<std::string, std::vector<Step>> held;
    bool off = false;
    int open = 0;
    std::atomic<int> syncs{0};
    std::uint64_t steps = 0;
    // The gate of holdSyncs(): the full name of the file held, empty for none, and the thread that
    // passes it; the syncs that came to it and those let through, by the order they came in.
    std::string gated;
    std::thread::id gateKeeper;
    int arrived = 0;
    int through = 0;
    int waiting = 0;
    std::condition_variable gate;
};

namespace {

using State = PowerCutFiles::State;

struct File {
    sqlite3_file base;
    State *state;
    // Empty for a file without a name, which writes through.
    std::string name;
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(reinterpret_cast<char *>(this) + offset()); }
    static constexpr size_t offset() { return (sizeof(File) + 7) & ~size_t(7); }
};

File *of(sqlite3_file *f)
{
    return reinterpret_cast<File *>(f);
}

State *stateOf(sqlite3_vfs *vfs)
{
    return static_cast<State *>(vfs->pAppData);
}

// What a call that is ours only to pass on goes to: the file or file layer beneath, and its methods.
sqlite3_file *beneath(sqlite3_file *f)
{
    return of(f)->real();
}

sqlite3_vfs *beneath(sqlite3_vfs *vfs)
{
    return stateOf(vfs)->base;
}

const sqlite3_io_methods &methodsOf(sqlite3_file *f)
{
    return *f->pMethods;
}

const sqlite3_vfs &methodsOf(sqlite3_vfs *vfs)
{
    return *vfs;
}

// The method `Method` of a file or of the file layer, passed on as it is to the one beneath.
template <auto Method> struct PassedOn;
template <typename Methods, typename Self, typename Result, typename... Args,
          Result (*Methods::*Method)(Self *, Args...)>
struct PassedOn<Method> {
    static Result call(Self *self, Args... args)
    {
        Self *under = beneath(self);
        return (methodsOf(under).*Method)(under, args...);
    }
};

// The held steps of `f`, none when it writes through. Called under the state's lock.
std::vector<Step> *heldOf(File *f)
{
    if (!f->state->holdWrites || f->name.empty())
        return nullptr;
    return &f->state->held[f->name];
}

int xClose(sqlite3_file *f)
{
    File *file = of(f);
    const int rc = file->real()->pMethods->xClose(file->real());
    State *state = file->state;
    file->name.~basic_string();
    std::lock_guard lock(state->mutex);
    --state->open;
    state->closed.notify_all();
    return rc;
}

// Files written through take no lock: a sync on one thread never holds up another's writes.
int xRead(sqlite3_file *f, void *buffer, int amount, sqlite3_int64 offset)
{
    File *file = of(f);
    if (!file->state->holdWrites)
        return file->real()->pMethods->xRead(file->real(), buffer, amount, offset);
    std::lock_guard lock(file->state->mutex);
    int rc = file->real()->pMethods->xRead(file->real(), buffer, amount, offset);
    std::vector<Step> *held = heldOf(file);
    if (!held || held->empty())
        return rc;
    if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ)
        return rc;
    sqlite3_int64 size = 0;
    if (file->real()->pMethods->xFileSize(file->real(), &size) != SQLITE_OK)
        return SQLITE_IOERR_READ;
    auto *out = static_cast<char *>(buffer);
    const sqlite3_int64 end = offset + amount;
    for (const Step &s : *held) {
        if (s.cut) {
            if (s.offset < end)
                std::memset(out + std::max<sqlite3_int64>(s.offset - offset, 0), 0,
                            size_t(end - std::max(s.offset, offset)));
            size = s.offset;
            continue;
        }
        const sqlite3_int64 from = std::max(offset, s.offset);
        const sqlite3_int64 to = std::min(end, s.offset + sqlite3_int64(s.bytes.size()));
        if (from < to)
            std::memcpy(out + (from - offset), s.bytes.data() + (from - s.offset), size_t(to - from));
        size = std::max<sqlite3_int64>(size, s.offset + sqlite3_int64(s.bytes.size()));
    }
    if (end <= size)
        return SQLITE_OK;
    std::memset(out + std::max<sqlite3_int64>(size - offset, 0), 0, size_t(end - std::max(size, offset)));
    return SQLITE_IOERR_SHORT_READ;
}

int xWrite(sqlite3_file *f, const void *buffer, int amount, sqlite3_int64 offset)
{
    File *file = of(f);
    if (!file->state->holdWrites)
        return file->real()->pMethods->xWrite(file->real(), buffer, amount, offset);
    std::lock_guard lock(file->state->mutex);
    if (file->state->off)
        return SQLITE_IOERR_WRITE;
    if (std::vector<Step> *held = heldOf(file)) {
        held->push_back(
            {offset, std::string(static_cast<const char *>(buffer), size_t(amount)), false, file->state->steps++});
        return SQLITE_OK;
    }
    return file->real()->pMethods->xWrite(file->real(), buffer, amount, offset);
}

int xTruncate(sqlite3_file *f, sqlite3_int64 size)
{
    File *file = of(f);
    std::lock_guard lock(file->state->mutex);
    if (file->state->off)
        return SQLITE_IOERR_TRUNCATE;
    if (std::vector<Step> *held = heldOf(file)) {
        held->push_back({size, {}, true, file->state->steps++});
        return SQLITE_OK;
    }
    return file->real()->pMethods->xTruncate(file->real(), size);
}

// Whether a sync of `f` on this thread waits at the gate. Called under the state's lock.
bool atGate(const File &f)
{
    const State &s = *f.state;
    return !s.gated.empty() && std::this_thread::get_id() != s.gateKeeper
        && (f.name == s.gated || f.name.starts_with(s.gated + "-"));
}

int xSync(sqlite3_file *f, int flags)
{
    File *file = of(f);
    if (!file->state->holdWrites) {
        ++file->state->syncs;
        return file->real()->pMethods->xSync(file->real(), flags);
    }
    State &s = *file->state;
    std::unique_lock lock(s.mutex);
    if (s.off)
        return SQLITE_IOERR_FSYNC;
    // What is written while it waits may still be in the cache once it is done.
    const std::uint64_t before = s.steps;
    if (atGate(*file)) {
        const int ticket = ++s.arrived;
        ++s.waiting;
        s.gate.wait(lock, [&] { return s.off || s.gated.empty() || ticket <= s.through; });
        --s.waiting;
        s.gate.notify_all();
        if (s.off)
            return SQLITE_IOERR_FSYNC;
    }
    ++s.syncs;
    sqlite3_file *real = file->real();
    if (std::vector<Step> *held = heldOf(file)) {
        const auto end = std::ranges::find_if(*held, [&](const Step &step) { return step.serial >= before; });
        for (auto step = held->begin(); step != end; ++step) {
            const int rc = step->cut
                ? real->pMethods->xTruncate(real, step->offset)
                : real->pMethods->xWrite(real, step->bytes.data(), int(step->bytes.size()), step->offset);
            if (rc != SQLITE_OK)
                return rc;
        }
        held->erase(held->begin(), end);
    }
    return real->pMethods->xSync(real, flags);
}

int xFileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    File *file = of(f);
    std::lock_guard lock(file->state->mutex);
    const int rc = file->real()->pMethods->xFileSize(file->real(), size);
    if (rc == SQLITE_OK)
        if (std::vector<Step> *held = heldOf(file))
            *size = sizeAfter(*held, *size);
    return rc;
}

int xFileControl(sqlite3_file *f, int op, void *arg)
{
    // Hints would grow the file on disk past what is held.
    if (op == SQLITE_FCNTL_SIZE_HINT || op == SQLITE_FCNTL_CHUNK_SIZE)
        return SQLITE_OK;
    return of(f)->real()->pMethods->xFileControl(of(f)->real(), op, arg);
}

// Version 2: without xFetch no file is mapped into memory past the held writes.
const sqlite3_io_methods kMethods = {2,
                                     xClose,
                                     xRead,
                                     xWrite,
                                     xTruncate,
                                     xSync,
                                     xFileSize,
                                     PassedOn<&sqlite3_io_methods::xLock>::call,
                                     PassedOn<&sqlite3_io_methods::xUnlock>::call,
                                     PassedOn<&sqlite3_io_methods::xCheckReservedLock>::call,
                                     xFileControl,
                                     PassedOn<&sqlite3_io_methods::xSectorSize>::call,
                                     PassedOn<&sqlite3_io_methods::xDeviceCharacteristics>::call,
                                     PassedOn<&sqlite3_io_methods::xShmMap>::call,
                                     PassedOn<&sqlite3_io_methods::xShmLock>::call,
                                     PassedOn<&sqlite3_io_methods::xShmBarrier>::call,
                                     PassedOn<&sqlite3_io_methods::xShmUnmap>::call,
                                     nullptr,
                                     nullptr};

int xOpen(sqlite3_vfs *vfs, sqlite3_filename name, sqlite3_file *f, int flags, int *outFlags)
{
    State *state = stateOf(vfs);
    File *file = of(f);
    file->base.pMethods = nullptr;
    {
        std::lock_guard lock(state->mutex);
        if (state->off)
            return SQLITE_CANTOPEN;
    }
    const int rc = state->base->xOpen(state->base, name, file->real(), flags, outFlags);
    if (rc != SQLITE_OK)
        return rc;
    file->state = state;
    new (&file->name) std::string(name ? name : "");
    file->base.pMethods = &kMethods;
    std::lock_guard lock(state->mutex);
    ++state->open;
    return SQLITE_OK;
}

int xDelete(sqlite3_vfs *vfs, const char *name, int syncDir)
{
    State *state = stateOf(vfs);
    std::lock_guard lock(state->mutex);
    if (state->off)
        return SQLITE_IOERR_DELETE;
    state->held.erase(name);
    return state->base->xDelete(state->base, name, syncDir);
}

int xAccess(sqlite3_vfs *vfs, const char *name, int flags, int *out)
{
    State *state = stateOf(vfs);
    const int rc = state->base->xAccess(state->base, name, flags, out);
    if (rc != SQLITE_OK || flags != SQLITE_ACCESS_EXISTS || *out)
        return rc;
    // SQLite takes an empty file for none; held writes may have filled it.
    std::lock_guard lock(state->mutex);
    const auto held = state->held.find(name);
    struct stat info {};
    if (held != state->held.end() && ::stat(name, &info) == 0)
        *out = sizeAfter(held->second, info.st_size) > 0;
    return rc;
}

} // namespace

PowerCutFiles::PowerCutFiles(bool holdWrites) : m_state(std::make_unique<State>())
{
    State &s = *m_state;
    s.base = sqlite3_vfs_find(nullptr);
    s.holdWrites = holdWrites;
    s.vfs.iVersion = 2;
    s.vfs.szOsFile = int(File::offset()) + s.base->szOsFile;
    s.vfs.mxPathname = s.base->mxPathname;
    s.vfs.zName = "quillmere-power-cut";
    s.vfs.pAppData = &s;
    s.vfs.xOpen = xOpen;
    s.vfs.xDelete = xDelete;
    s.vfs.xAccess = xAccess;
    s.vfs.xFullPathname = PassedOn<&sqlite3_vfs::xFullPathname>::call;
    s.vfs.xDlOpen = PassedOn<&sqlite3_vfs::xDlOpen>::call;
    s.vfs.xDlError = PassedOn<&sqlite3_vfs::xDlError>::call;
    s.vfs.xDlSym = PassedOn<&sqlite3_vfs::xDlSym>::call;
    s.vfs.xDlClose = PassedOn<&sqlite3_vfs::xDlClose>::call;
    s.vfs.xRandomness = PassedOn<&sqlite3_vfs::xRandomness>::call;
    s.vfs.xSleep = PassedOn<&sqlite3_vfs::xSleep>::call;
    s.vfs.xCurrentTime = PassedOn<&sqlite3_vfs::xCurrentTime>::call;
    s.vfs.xGetLastError = PassedOn<&sqlite3_vfs::xGetLastError>::call;
    s.vfs.xCurrentTimeInt64 = PassedOn<&sqlite3_vfs::xCurrentTimeInt64>::call;
    sqlite3_vfs_register(&s.vfs, 1);
}

PowerCutFiles::~PowerCutFiles()
{
    // A sync still held would wake to a layer that is gone.
    holdSyncs({});
    {
        std::unique_lock lock(m_state->mutex);
        m_state->gate.wait(lock, [&] { return m_state->waiting == 0; });
    }
    sqlite3_vfs_unregister(&m_state->vfs);
    sqlite3_vfs_register(m_state->base, 1);
}

void PowerCutFiles::cutPower()
{
    std::lock_guard lock(m_state->mutex);
    m_state->held.clear();
    m_state->off = true;
    m_state->gate.notify_all();
}

int PowerCutFiles::syncs() const
{
    return m_state->syncs;
}

void PowerCutFiles::holdSyncs(const std::string &path)
{
    State &s = *m_state;
    // As SQLite names the file to the layer.
    std::string name;
    if (!path.empty()) {
        std::vector<char> full(size_t(s.base->mxPathname) + 1, '\0');
        if (s.base->xFullPathname(s.base, path.c_str(), int(full.size()), full.data()) == SQLITE_OK)
            name = full.data();
    }
    std::lock_guard lock(s.mutex);
    s.gated = name;
    s.gateKeeper = std::this_thread::get_id();
    s.gate.notify_all();
}

int PowerCutFiles::syncsAtGate() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->arrived;
}

void PowerCutFiles::letSyncsThrough(int count)
{
    std::lock_guard lock(m_state->mutex);
    m_state->through = std::max(m_state->through, count);
    m_state->gate.notify_all();
}

bool PowerCutFiles::waitUntilAllClosed(std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_state->mutex);
    return m_state->closed.wait_for(lock, limit, [&] { return m_state->open == 0; });
}

} // namespace quillmere::test
