#include "Quillmere/Model/OldRecoveryFiles.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::OldRecoveryFiles {

QStringList all(const QString &storePath)
{
    std::vector<FallbackStore::Folder> folders = FallbackStore::folders(storePath);
    // Where files went when the store's folder could not take them, before the folders above were used.
    const QFileInfo folder(QFileInfo(storePath).absolutePath());
    folders.push_back({FallbackStore::Folder::Kind::beside, folder.absolutePath(),
                       folder.fileName() + QLatin1Char('-') + QFileInfo(storePath).fileName()});
    QStringList paths;
    std::set<QString> looked;
    for (const FallbackStore::Folder &spot : folders) {
        const QString prefix = spot.stem + QStringLiteral(".unsaved-");
        const QDir dir(spot.path);
        if (!dir.exists() || !looked.insert(dir.canonicalPath() + QLatin1Char('/') + prefix).second
            || (spot.kind == FallbackStore::Folder::Kind::temporary && !preparePrivateDirectory(spot.path, false)))
            continue;
        // Links and FIFOs too: named, though never read.
        for (const QString &name : dir.entryList({prefix + QStringLiteral("*.json")}, QDir::Files | QDir::System))
            paths << dir.filePath(name);
    }
    // By the UTC time their names end in, which is by age; without ".json", a later file of the same
    // second ("-2") comes after the first.
    std::ranges::stable_sort(paths, {}, [](const QString &path) {
        return path.mid(path.lastIndexOf(QStringLiteral(".unsaved-"))).chopped(5);
    });
    return paths;
}

namespace {

// Follows a recovery file's JSON a byte at a time just far enough to count the entries of its
// top-level "clips" list: strings and nesting only, nothing parsed, nothing kept.
class ClipCounter {
public:
    // The count once the list closes, -1 once the file shows it is no recovery file, none before.
    std::optional<int> take(char c)
    {
        if (m_inString) {
            if (m_escaped)
                m_escaped = false;
            else if (c == '\\')
                m_escaped = true;
            else if (c == '"')
                m_inString = false;
            if (m_inKey && m_inString && m_key.size() <= 8)
                m_key += c;
            m_inKey = m_inKey && m_inString;
            return std::nullopt;
        }
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t')
            return std::nullopt;
        const size_t depth = m_open.size();
        if (depth == 0 && (m_begun || c != '{'))
            return -1;
        // The value of "clips" is its list, or the file is no recovery file.
        const bool clipsList = depth == 1 && std::exchange(m_clipsNext, false);
        if (clipsList && c != '[')
            return -1;
        if (m_inClips && depth == 2) {
            if (c == ',') {
                if (!std::exchange(m_inEntry, false))
                    return -1;
                ++m_entries;
                return std::nullopt;
            }
            if (c == ']')
                return m_entries > 0 && !m_inEntry ? -1 : m_entries + int(m_inEntry);
            m_inEntry = true;
        }
        switch (c) {
        case '"':
            m_inString = true;
            m_inKey = depth == 1 && std::exchange(m_keyNext, false);
            m_key.clear();
            return std::nullopt;
        case ':':
            if (depth == 1)
                m_clipsNext = m_key == "clips";
            return std::nullopt;
        case ',':
            m_keyNext = depth == 1;
            return std::nullopt;
        case '{':
        case '[':
            // Deeper than any clip nests: not a recovery file.
            if (depth >= 64)
                return -1;
            m_inClips = m_inClips || clipsList;
            m_keyNext = depth == 0;
            m_begun = true;
            m_open.push_back(c);
            return std::nullopt;
        case '}':
        case ']':
            // The top-level object closed without a list of clips, or brackets that do not pair.
            if (depth == 1 || m_open.back() != (c == '}' ? '{' : '['))
                return -1;
            m_open.pop_back();
            return std::nullopt;
        default:
            // Numbers, true, false and null; any other byte outside a string is no JSON.
            return QByteArrayView("0123456789+-.Eeabflnrstu").contains(c) ? std::nullopt : std::optional(-1);
        }
    }

private:
    std::string m_open;
    std::string m_key;
    bool m_begun = false;
    bool m_inString = false;
    bool m_escaped = false;
    bool m_inKey = false;
    bool m_keyNext = false;
    bool m_clipsNext = false;
    bool m_inClips = false;
    bool m_inEntry = false;
    int m_entries = 0;
};

} // namespace

int countClips(const QString &path)
{
    // Never follows a link nor waits for a writer at the other end of a FIFO.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxCountedBytes)
        return -1;
    ClipCounter counter;
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    // A file that grows after it was looked at is cut off at the bound all the same.
    for (qint64 read = 0; read < maxCountedBytes;) {
        const qint64 got = file.read(chunk.data(), std::min<qint64>(chunk.size(), maxCountedBytes - read));
        if (got <= 0)
            return -1;
        read += got;
        for (qint64 i = 0; i < got; ++i)
            if (const std::optional<int> counted = counter.take(chunk[i]))
                return *counted;
    }
    return -1;
}

Found look(const QString &storePath, const QStringList &told)
{
    Found found{all(storePath), {}};
    for (const QString &path : found.all)
        if (!told.contains(path))
            found.untold.push_back({path, countClips(path)});
    return found;
}

} // namespace quillmere::OldRecoveryFiles
