#pragma once

#include "Quillmere/Model/ModelContainer.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere {

class ClipStore;

// Where the history goes on while its store cannot take copies (it cannot be opened, is being
// salvaged, or was left for a damaged or full disk): a store of the same schema, saved as copies
// arrive. Once the store takes copies again, the fallback store moves into it and goes.
namespace FallbackStore {

// A folder that takes a fallback store, and how long what it keeps lasts there.
struct Place {
    QString folder;
    enum class Lasting { kept, untilRestart, untilLogout };
    Lasting lasting = Lasting::kept;
};

// A folder a store's copies may be kept in, and how the names of its files there begin: the store's
// own name beside it, that name and a hash of its path elsewhere.
struct Folder {
    enum class Kind { beside, state, cache, runtime, temporary };
    Kind kind;
    QString path;
    QString stem;
};
// In the order they are tried: the store's own folder (last, with `storeFolderLast`: for a history
// its own disk failed to take), then those that keep what they hold longest. None for an empty
// path. Touches the disk.
std::vector<Folder> folders(const QString &storePath, bool storeFolderLast = false);
// This program's hold on a fallback store's file: an flock that a start asks for before it takes the
// file over or moves it in, and that the kernel lets go of however the program ends. Kept for as
// long as the file is written or moved in, and until it is removed. Its descriptor is closed only
// once no connection of this program has the file open: a close drops the process's SQLite locks.
class Hold {
public:
    // The file at `path`, held; none while another running program holds it, or when none is there.
    static std::shared_ptr<Hold> take(const QString &path);
    // A new file at `path`, held from its making; none when it cannot be made (errno EEXIST: the
    // name is taken).
    static std::shared_ptr<Hold> makeNew(const QString &path);
    ~Hold();
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    // Where it was taken or made; it may have been renamed since.
    QString path() const { return m_path; }
    // The file held is still the one at `path`.
    bool isAt(const QString &path) const;

private:
    Hold(int fd, QString path) : m_fd(fd), m_path(std::move(path)) {}
    int m_fd;
    QString m_path;
};

// A fallback store's file this program holds, and its folder.
struct Held {
    std::shared_ptr<Hold> file;
    Place place;
};

// The name of the fallback store in the folder a history goes on in: that of one an earlier session
// left, where its folder still takes a file, else its name in the first folder that does; none when
// no folder does. The file may be there, and may be another program's. Touches the disk.
std::optional<std::pair<QString, Place>> nameAndFolder(const QString &storePath, bool storeFolderLast = false);
// The folder of the store at `storePath` that holds its fallback store `fallback`, if any.
std::optional<Place> folderHolding(const QString &storePath, const QString &fallback);
// Every fallback store of `storePath` there is, held or not. Touches the disk.
QStringList all(const QString &storePath);
// Gives `fallback`, else the first "STEM.N.fallback" beside it, to `take`, which fails with errno
// EEXIST while the name is held, so that a fallback store never shares a file. Empty when none was.
QString takeFreeName(const QString &fallback, const std::function<bool(const QString &)> &take);
// A new file of its own for a fallback store, held, at `fallback` or the first free name beside it.
// Touches the disk.
std::shared_ptr<Hold> makeHeldFile(const QString &fallback);
// A new file of its own for a fallback store, held, in the first folder that takes one as
// nameAndFolder() finds it: never one an earlier session or another program holds. Touches the disk.
std::optional<Held> makeHeldFileIn(const QString &storePath, bool storeFolderLast = false);
// A fallback store an earlier session left and whose program is gone, taken over where its folder
// still takes a file; none when there is no such one. Touches the disk.
std::optional<Held> takeOverLeft(const QString &storePath, bool storeFolderLast = false);
// What copyWhole() did: the error, empty once the store is at its path; `noRoom` when its disk has none.
struct WholeCopy {
    QString error;
    bool noRoom = false;
    // The copy's own file: the path may name another by the time it is opened.
    std::optional<FileIdentity> file;
};
// Copies the fallback store at `fallback` page for page to `storePath`, where no file is, so that it
// takes the room it took before: into a file of its own beside the path, synced and checked, then
// named. Ends early, removing its file, once `stop` is set. Blocks: for a worker.
WholeCopy copyWhole(const QString &fallback, const QString &storePath, const std::atomic<bool> &stop);
// Removes what a copyWhole() cut short left beside the store; never the only copy of anything.
void removeUnfinishedCopy(const QString &storePath);
// Removes a fallback store nothing has open any more; its holder removes it while it holds it, so
// that no other program takes the name over meanwhile.
bool remove(const QString &path);
// Puts `records` of another context into `into`: a clip or Page `into` holds under the same
// dedupID takes their fields when theirs are at least as new (a change not saved yet is newest),
// else each comes in as a new record, a clip's capture order raised by `lift`, with its Page.
// Brands `into` lacks come along; settings stay `into`'s. Returns how many clips are new to `into`.
int takeIn(ModelContext &into, const std::vector<std::shared_ptr<PersistentModel>> &records, qint64 lift = 0);

} // namespace FallbackStore

} // namespace quillmere
