#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipPresentation.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::UnsavedRecovery {
namespace {

// Members beside the clips (the Pages, the time) are small; a file that says otherwise is not ours.
constexpr qint64 maxMemberBytes = 4 * 1024 * 1024;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

std::optional<QString> text(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

// A capture order: a whole number above 0; anything else is as if it were not there.
std::optional<qint64> captureOrder(const QJsonValue &value)
{
    const qint64 order = value.isDouble() ? value.toInteger(0) : 0;
    return order > 0 ? std::optional(order) : std::nullopt;
}

// False when the value is there but not base64.
bool bytes(const QJsonObject &o, const char *key, std::optional<QByteArray> *out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    auto decoded = QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!v.isString() || !decoded)
        return false;
    *out = std::move(*decoded);
    return true;
}

} // namespace

// The file's bytes a buffer at a time, cut into JSON values without parsing them.
class Reader::Stream {
public:
    static std::unique_ptr<Stream> open(const QString &path, QString *error)
    {
        // Never follows a link nor waits for a writer at the other end of a FIFO.
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            *error = errno == ELOOP ? QStringLiteral("it is a link, not a file") : systemError(errno);
            return nullptr;
        }
        auto stream = std::unique_ptr<Stream>(new Stream(fd));
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            *error = systemError(errno);
            return nullptr;
        }
        if (!S_ISREG(info.st_mode)) {
            *error = QStringLiteral("it is not a regular file");
            return nullptr;
        }
        if (info.st_size > maxFileBytes) {
            *error = QStringLiteral("larger than %1 MiB").arg(maxFileBytes / (1024 * 1024));
            return nullptr;
        }
        return stream;
    }
    ~Stream() { ::close(m_fd); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    QString error() const { return m_error.isEmpty() ? QStringLiteral("not a recovery file") : m_error; }
    // The file could not be read, or grew too large: it is not broken, and may read whole later.
    bool readFailed() const { return !m_error.isEmpty(); }
    qint64 offset() const { return m_base + m_pos; }

    int peek()
    {
        if (m_pos == m_length && !fill())
            return -1;
        return uchar(m_buffer[m_pos]);
    }
    void skipSpace()
    {
        for (int c = peek(); c == ' ' || c == '\n' || c == '\r' || c == '\t'; c = peek())
            ++m_pos;
    }
    bool take(char c)
    {
        skipSpace();
        if (peek() != uchar(c))
            return false;
        ++m_pos;
        return true;
    }
    bool seek(qint64 offset)
    {
        if (::lseek(m_fd, offset, SEEK_SET) != offset)
            return fail(systemError(errno));
        m_base = offset;
        m_pos = m_length = 0;
        return true;
    }

    // Moves past one JSON value, its bytes appended to `out` unless it is null; false at the end
    // of the file or past `max` bytes. Only strings and nesting are followed: the value is checked
    // when it is parsed.
    bool value(QByteArray *out, qint64 max)
    {
        skipSpace();
        int depth = 0;
        bool inString = false;
        bool escaped = false;
        qint64 taken = 0;
        for (;;) {
            if (m_pos == m_length && !fill())
                return false;
            const char *begin = m_buffer.constData() + m_pos;
            const char *end = m_buffer.constData() + m_length;
            const char *p = begin;
            bool done = false;
            for (; p < end && !done; ++p) {
                const char c = *p;
                if (inString) {
                    if (escaped)
                        escaped = false;
                    else if (c == '\\')
                        escaped = true;
                    else if (c == '"')
                        inString = false, done = depth == 0;
                } else if (c == '"') {
                    inString = true;
                } else if (c == '{' || c == '[') {
                    ++depth;
                } else if (c == '}' || c == ']' || c == ',' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                    // Outside any nesting this ends a number or a word, and stays unread.
                    if (depth == 0) {
                        if (taken + (p - begin) == 0)
                            return fail({});
                        done = true;
                        break;
                    }
                    if (c == '}' || c == ']')
                        done = --depth == 0;
                }
            }
            const qsizetype used = p - begin;
            taken += used;
            if (taken > max)
                return fail({});
            if (out)
                out->append(begin, used);
            m_pos += used;
            if (done)
                return true;
        }
    }

private:
    explicit Stream(int fd) : m_fd(fd), m_buffer(1024 * 1024, Qt::Uninitialized) {}

    bool fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
        return false;
    }

    bool fill()
    {
        m_base += m_length;
        m_pos = m_length = 0;
        // A file that grows past the bound after it was opened is refused all the same.
        if (m_base > maxFileBytes)
            return fail(QStringLiteral("larger than %1 MiB").arg(maxFileBytes / (1024 * 1024)));
        for (;;) {
            const ssize_t got = ::read(m_fd, m_buffer.data(), size_t(m_buffer.size()));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return fail(systemError(errno));
            m_length = got;
            return got > 0;
        }
    }

    int m_fd;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qsizetype m_length = 0;
    qint64 m_base = 0;
    QString m_error;
};

Reader::Reader(std::unique_ptr<Stream> stream) : m_stream(std::move(stream))
{
}

Reader::~Reader() = default;

std::unique_ptr<Reader> Reader::open(const QString &path, QString *error)
{
    QString why;
    auto stream = Stream::open(path, &why);
    std::unique_ptr<Reader> reader(stream ? new Reader(std::move(stream)) : nullptr);
    if (reader && reader->readHeader(&why))
        return reader;
    if (error)
        *error = why;
    return nullptr;
}

// Goes through the whole file once: the Pages and the time are kept, the clips only counted and
// found again later, whichever order the members come in. A file that breaks off past the start of
// its clips (cut short, or garbage from there on) keeps the clips before the break.
bool Reader::readHeader(QString *error)
{
    Stream &s = *m_stream;
    bool inClips = false;
    const auto fail = [&](const QString &why) {
        if (why.isEmpty() && !s.readFailed() && (m_clipsAt >= 0 || m_clipCount >= 0)) {
            // Past the clips, the break takes none of them.
            m_broken = inClips || m_clipsAt < 0;
            return true;
        }
        *error = why.isEmpty() ? s.error() : why;
        return false;
    };
    if (!s.take('{'))
        return fail({});
    if (s.take('}'))
        return true;
    do {
        QByteArray key;
        s.skipSpace();
        if (s.peek() != '"' || !s.value(&key, 64) || !s.take(':'))
            return fail({});
        if (key == "\"clips\"") {
            s.skipSpace();
            const qint64 at = s.offset();
            if (!s.take('['))
                return fail({});
            m_clipsAt = at;
            inClips = true;
            if (!s.take(']')) {
                do {
                    if (!s.value(nullptr, maxFileBytes))
                        return fail({});
                    if (++m_clips > maxClips)
                        return fail(
                            QStringLiteral("more than %1 clips, more than a recovery file holds").arg(maxClips));
                } while (s.take(','));
                if (!s.take(']'))
                    return fail({});
            }
            inClips = false;
            continue;
        }
        QByteArray raw("[");
        if (!s.value(&raw, maxMemberBytes))
            return fail({});
        const QJsonArray member = QJsonDocument::fromJson(raw + ']').array();
        if (member.isEmpty())
            return fail({});
        if (key == "\"pages\"") {
            const QJsonArray pages = member.first().toArray();
            if (pages.size() > maxPages)
                return fail(QStringLiteral("more than %1 Pages, more than a recovery file holds").arg(maxPages));
            for (const QJsonValue &value : pages)
                if (const auto name = text(value.toObject(), "name"))
                    pageNamed(*name, text(value.toObject(), "colorName").value_or(QString()));
        } else if (key == "\"unsavedAt\"") {
            m_unsavedAt = QDateTime::fromString(member.first().toString(), Qt::ISODateWithMs);
        } else if (key == "\"lowestCaptureOrder\"") {
            m_lowestCaptureOrder = captureOrder(member.first());
        } else if (key == "\"clipCount\"" && member.first().isDouble()) {
            m_clipCount = qint64(std::clamp(member.first().toDouble(), 0.0, double(maxClips)));
        }
    } while (s.take(','));
    return s.take('}') || fail({});
}

int Reader::lost() const
{
    if (!m_broken)
        return 0;
    return m_clipCount < 0 ? -1 : int(std::max<qint64>(0, m_clipCount - m_clips));
}

std::optional<std::vector<ClipRef>> Reader::next(size_t clips, qint64 bytes, QString *error)
{
    Stream &s = *m_stream;
    std::vector<ClipRef> out;
    qint64 taken = 0;
    while (m_taken < m_clips && out.size() < clips && taken < bytes) {
        // Only the values the first pass counted are read: what follows a break is not read again.
        const bool found = m_taken > 0 ? s.take(',') : s.seek(m_clipsAt) && s.take('[');
        QByteArray raw;
        if (!found || !s.value(&raw, maxFileBytes)) {
            if (error)
                *error = s.error();
            return std::nullopt;
        }
        ++m_taken;
        if (ClipRef clip = clipOf(raw)) {
            taken += payloadByteCount(*clip);
            out.push_back(std::move(clip));
        }
    }
    return out;
}

PageRef Reader::pageNamed(const QString &name, const QString &colorName)
{
    for (const PageRef &page : m_pages)
        if (page->name() == name)
            return page;
    // Names only clips give count too: a file never makes more Pages than it may list.
    if (qsizetype(m_pages.size()) >= maxPages)
        return nullptr;
    auto page = std::make_shared<Pinboard>();
    page->setName(name);
    if (!colorName.isEmpty())
        page->setColorName(colorName);
    m_pages.push_back(page);
    return page;
}

// None for a clip left out: one that cannot be read is counted, one with nothing in it is not.
ClipRef Reader::clipOf(const QByteArray &raw)
{
    const QJsonDocument doc = QJsonDocument::fromJson(raw);
    const QJsonObject o = doc.object();
    std::optional<QByteArray> image, file;
    if (!doc.isObject() || !bytes(o, "imageDataBase64", &image) || !bytes(o, "fileDataBase64", &file)) {
        ++m_unreadable;
        return nullptr;
    }
    auto clip = std::make_shared<ClipItem>();
    clip->setKind(clipKindOrText(o.value(QLatin1String("kind")).toString()));
    // A file clip's text is its list of paths and stays whole, as when it was copied.
    clip->setText(clip->kind() == ClipKind::file ? text(o, "text") : CapturedContent::capText(text(o, "text")));
    clip->setImageData(image);
    clip->setFileData(file);
    clip->setFileName(text(o, "fileName"));
    if (!clip->text() && !image && !file && !clip->fileName())
        return nullptr;
    clip->setFileTypeIdentifier(text(o, "fileTypeIdentifier"));
    clip->setRecognizedText(CapturedContent::capText(text(o, "recognizedText")));
    clip->setSourceAppName(text(o, "sourceAppName"));
    clip->setSourceAppBundleID(text(o, "sourceAppBundleID"));
    clip->setContentHash(clip->computeContentHash());
    clip->setPayloadByteCount(payloadByteCount(*clip));
    const QDateTime createdAt =
        QDateTime::fromString(o.value(QLatin1String("createdAt")).toString(), Qt::ISODateWithMs);
    clip->setCreatedAt(createdAt.isValid() ? createdAt : m_unsavedAt);
    clip->setIsPinned(o.value(QLatin1String("isPinned")).toBool());
    // Never below the lowest the file names, which decides how far its clips are raised.
    if (const auto order = captureOrder(o.value(QLatin1String("captureOrder"))))
        clip->setCaptureOrder(std::max(*order, m_lowestCaptureOrder.value_or(*order)));
    clip->setCustomTitle(text(o, "customTitle"));
    if (const auto pageName = text(o, "pageName"))
        clip->setPinboard(pageNamed(*pageName, {}));
    if (const auto expiresAt = text(o, "expiresAt")) {
        const QDateTime at = QDateTime::fromString(*expiresAt, Qt::ISODateWithMs);
        clip->setExpiresAt(at.isValid() ? at : m_unsavedAt.isValid() ? m_unsavedAt : QDateTime::fromMSecsSinceEpoch(0));
    }
    return clip;
}

} // namespace quillmere::UnsavedRecovery
