#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace quillmere::test {

// SQLite's file layer as a disk with a cache that a power cut empties: while it lives it is the
// default file layer of the process, and every write (and cut) a file takes through it is held in
// memory until that file is synced. cutPower() drops what was not synced, and from then on every
// write, sync and removal fails, as on a machine that is off; once every file is closed, the files
// hold what the disk would after the power came back. With `holdWrites` false it writes through and
// only counts the syncs.
class PowerCutFiles {
public:
    explicit PowerCutFiles(bool holdWrites = true);
    // Puts the file layer that was the default before back.
    ~PowerCutFiles();
    PowerCutFiles(const PowerCutFiles &) = delete;
    PowerCutFiles &operator=(const PowerCutFiles &) = delete;

    void cutPower();
    // Syncs of files so far.
    int syncs() const;
    // Waits until no file is open through this layer; false when some still is after `limit`.
    bool waitUntilAllClosed(std::chrono::milliseconds limit) const;

    // A slow disk under the file at `path` (an empty one: under none): from now on a sync of it or of
    // its log on another thread waits at a gate until let through, then takes only what was written
    // before it began. The calling thread's own syncs pass, as it is the one that lets the others through.
    void holdSyncs(const std::string &path);
    // Syncs that have come to the gate so far, in the order they came.
    int syncsAtGate() const;
    // Lets the first `count` syncs that came to the gate through.
    void letSyncsThrough(int count);

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace quillmere::test
