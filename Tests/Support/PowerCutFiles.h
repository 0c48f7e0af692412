#pragma once

#include <chrono>
#include <memory>

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

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace quillmere::test
