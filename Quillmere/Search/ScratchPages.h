#pragma once

#include <QString>
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace quillmere {

// A folder on disk for memory that may leave the process between searches: pages of an unlinked
// file of ours, mapped shared, go back to the page cache when let go and come back from it when
// touched. Only a folder on a disk that writes in place (ext4, xfs) gives files; one held in memory
// or on a disk that copies on write gives none, and neither does a folder that cannot be made or
// written: the caller keeps plain memory.
class ScratchFolder {
public:
    // The store and the user's own files come first: a file that would leave its disk less room than
    // this is not made.
    static constexpr quint64 defaultKeepFree = quint64(1) << 30;

    // None: every page is plain memory.
    ScratchFolder() = default;
    explicit ScratchFolder(QString path, quint64 keepFree = defaultKeepFree)
        : m_path(std::move(path)), m_keepFree(keepFree)
    {
    }

    // A new file of ours of `bytes` zeroes, read-write and 0600, already unlinked, its disk blocks
    // taken; -1 when there is none, or no room for it this time. The folder is made and looked at
    // on the first call, on the caller's thread.
    int makeFile(size_t bytes);

private:
    enum class State { unchecked, onDisk, unusable };
    QString m_path;
    quint64 m_keepFree = defaultKeepFree;
    State m_state = State::unchecked;
};

// A fixed run of zeroed pages, backed by a scratch file when the folder gives one and by anonymous
// memory otherwise. release() lets file-backed pages go without losing what they hold; anonymous
// ones stay, since letting them go would zero them.
class ScratchPages {
public:
    ScratchPages() = default;
    // Throws std::bad_alloc when not even anonymous memory can be had.
    ScratchPages(ScratchFolder &folder, size_t bytes);
    ScratchPages(ScratchPages &&other) noexcept;
    ScratchPages &operator=(ScratchPages &&other) noexcept;
    ~ScratchPages();

    void *data() const { return m_data; }
    size_t size() const { return m_size; }
    bool isFileBacked() const { return m_fileBacked; }
    void release();

private:
    void *m_data = nullptr;
    size_t m_size = 0;
    bool m_fileBacked = false;
};

// A growing array of plain records in ScratchPages, for tables that may leave the process with the
// rest when released. Growth copies into pages twice as large.
template <typename T> class ScratchArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T &operator[](size_t i) { return items()[i]; }
    const T &operator[](size_t i) const { return items()[i]; }
    T &back() { return items()[m_size - 1]; }

    void push_back(ScratchFolder &folder, const T &item)
    {
        if ((m_size + 1) * sizeof(T) > m_pages.size()) {
            ScratchPages larger(folder, std::max<size_t>(2 * m_pages.size(), minimumBytes));
            if (m_size > 0)
                std::memcpy(larger.data(), m_pages.data(), m_size * sizeof(T));
            m_pages = std::move(larger);
        }
        items()[m_size++] = item;
    }
    // `count` copies of `item` in fresh pages.
    void assign(ScratchFolder &folder, size_t count, const T &item)
    {
        m_pages = {};
        m_size = 0;
        if (count == 0)
            return;
        m_pages = ScratchPages(folder, count * sizeof(T));
        std::fill(items(), items() + count, item);
        m_size = count;
    }
    void clear()
    {
        m_pages = {};
        m_size = 0;
    }
    void release() { m_pages.release(); }
    const ScratchPages &pages() const { return m_pages; }

private:
    static constexpr size_t minimumBytes = 64 * 1024;
    T *items() const { return static_cast<T *>(m_pages.data()); }

    ScratchPages m_pages;
    size_t m_size = 0;
};

} // namespace quillmere
