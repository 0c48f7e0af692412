#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipPresentation.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::UnsavedRecovery {
namespace {

constexpr qsizetype maxClips = 100000;
constexpr qsizetype maxPages = 1000;
// Members beside the clips (the Pages, the time) are small; a file that says otherwise is not ours.
constexpr qint64 maxMemberBytes = 4 * 1024 * 1024;

QString tooLarge()
{
    return QStringLiteral("larger than %1 MiB").arg(maxFileBytes / (1024 * 1024));
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

std::unique_ptr<Reader> Reader::open(const QString &path, QString *error)
{
    // Never follows a link nor waits for a writer at the other end of a FIFO.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    QString why = fd < 0 && errno == ELOOP  ? QStringLiteral("it is a link, not a file")
        : fd < 0 || ::fstat(fd, &info) != 0 ? qt_error_string(errno)
        : !S_ISREG(info.st_mode)            ? QStringLiteral("it is not a regular file")
        : info.st_size > maxFileBytes       ? tooLarge()
                                            : QString();
    std::unique_ptr<Reader> reader(new Reader);
    // Without a time of its own, it was written when it was last changed.
    reader->m_unsavedAt = QDateTime::fromSecsSinceEpoch(info.st_mtime, Qt::UTC);
    if (fd >= 0 && !reader->m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        why = reader->m_file.errorString();
    }
    if (why.isEmpty() && reader->readHeader(&why))
        return reader;
    if (error)
        *error = why;
    return nullptr;
}

QString Reader::error() const
{
    return m_error.isEmpty() ? QStringLiteral("not a recovery file") : m_error;
}

bool Reader::fail(const QString &why)
{
    if (m_error.isEmpty())
        m_error = why;
    return false;
}

bool Reader::get(char *c)
{
    if (m_file.getChar(c) && m_file.pos() <= maxFileBytes)
        return true;
    *c = 0;
    if (m_file.pos() > maxFileBytes || m_file.error() != QFileDevice::NoError)
        fail(m_file.pos() > maxFileBytes ? tooLarge() : m_file.errorString());
    return false;
}

bool Reader::take(char wanted)
{
    char c = 0;
    while (get(&c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t'))
        c = 0;
    if (c == wanted)
        return true;
    if (c != 0)
        m_file.ungetChar(c);
    return false;
}

bool Reader::value(QByteArray *out, qint64 max)
{
    take(' '); // the white space before it
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (qint64 taken = 0;;) {
        const QByteArray chunk = m_file.peek(64 * 1024);
        qsizetype used = 0;
        // 1: the value ends with the byte taken last; -1: it ended before the next one.
        int end = 0;
        for (; used < chunk.size() && end == 0; ++used) {
            const char c = chunk[used];
            if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false, end = depth == 0 ? 1 : 0;
            } else if (c == '"') {
                inString = true;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']' || c == ',' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                // Outside any nesting this ends a number or a word, and stays unread.
                if (depth == 0) {
                    end = -1;
                    break;
                }
                if (c == '}' || c == ']')
                    end = --depth == 0 ? 1 : 0;
            }
        }
        if (out)
            out->append(chunk.constData(), used);
        m_file.skip(used);
        taken += used;
        // A file that grows past the bound after it was opened is refused all the same.
        if (m_file.pos() > maxFileBytes)
            return fail(tooLarge());
        if (taken > max || end != 0)
            return taken <= max && taken > 0;
        if (chunk.isEmpty())
            return m_file.error() != QFileDevice::NoError && fail(m_file.errorString());
    }
}

// A file that breaks off in its clips (cut short, or garbage from there on) keeps those before the break.
bool Reader::readHeader(QString *error)
{
    bool inClips = false;
    const auto broken = [&](const QString &why = {}) {
        if (why.isEmpty() && m_error.isEmpty() && (m_clipsAt >= 0 || m_clipCount >= 0)) {
            // Past the clips, the break takes none of them.
            m_broken = inClips || m_clipsAt < 0;
            return true;
        }
        *error = why.isEmpty() ? Reader::error() : why;
        return false;
    };
    if (!take('{'))
        return broken();
    if (take('}'))
        return true;
    do {
        QByteArray key;
        if (!value(&key, 64) || !key.startsWith('"') || !take(':'))
            return broken();
        if (key == "\"clips\"") {
            if (!take('['))
                return broken();
            m_clipsAt = m_file.pos();
            inClips = true;
            if (!take(']')) {
                do {
                    if (!value(nullptr, maxFileBytes))
                        return broken();
                    if (++m_clips > maxClips)
                        return broken(
                            QStringLiteral("more than %1 clips, more than a recovery file holds").arg(maxClips));
                } while (take(','));
                if (!take(']'))
                    return broken();
            }
            inClips = false;
            continue;
        }
        QByteArray raw("[");
        if (!value(&raw, maxMemberBytes))
            return broken();
        const QJsonArray member = QJsonDocument::fromJson(raw + ']').array();
        if (member.isEmpty())
            return broken();
        if (key == "\"pages\"") {
            const QJsonArray pages = member.first().toArray();
            if (pages.size() > maxPages)
                return broken(QStringLiteral("more than %1 Pages, more than a recovery file holds").arg(maxPages));
            for (const QJsonValue &value : pages)
                if (const auto name = text(value.toObject(), "name"))
                    pageNamed(*name, text(value.toObject(), "colorName").value_or(QString()));
        } else if (key == "\"unsavedAt\"") {
            if (const auto at = QDateTime::fromString(member.first().toString(), Qt::ISODateWithMs); at.isValid())
                m_unsavedAt = at;
        } else if (key == "\"lowestCaptureOrder\"") {
            m_lowestCaptureOrder = captureOrder(member.first());
        } else if (key == "\"clipCount\"" && member.first().isDouble()) {
            m_clipCount = qint64(std::clamp(member.first().toDouble(), 0.0, double(maxClips)));
        }
    } while (take(','));
    return take('}') || broken();
}

int Reader::lost() const
{
    return !m_broken ? 0 : m_clipCount < 0 ? -1 : int(std::max<qint64>(0, m_clipCount - m_clips));
}

std::optional<std::vector<ClipRef>> Reader::next(size_t clips, qint64 bytes, QString *error)
{
    std::vector<ClipRef> out;
    qint64 taken = 0;
    while (m_taken < m_clips && out.size() < clips && taken < bytes) {
        // Only the values the first pass counted are read: what follows a break is not read again.
        const bool found = m_taken > 0 ? take(',') : m_file.seek(m_clipsAt);
        QByteArray raw;
        if (!found || !value(&raw, maxFileBytes)) {
            if (error)
                *error = Reader::error();
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
    for (const auto &[key, set] : {std::pair{"fileTypeIdentifier", &ClipItem::setFileTypeIdentifier},
                                   {"sourceAppName", &ClipItem::setSourceAppName},
                                   {"sourceAppBundleID", &ClipItem::setSourceAppBundleID},
                                   {"customTitle", &ClipItem::setCustomTitle}})
        (*clip.*set)(text(o, key));
    clip->setRecognizedText(CapturedContent::capText(text(o, "recognizedText")));
    clip->setContentHash(clip->computeContentHash());
    clip->setPayloadByteCount(payloadByteCount(*clip));
    const QDateTime createdAt =
        QDateTime::fromString(o.value(QLatin1String("createdAt")).toString(), Qt::ISODateWithMs);
    clip->setCreatedAt(createdAt.isValid() ? createdAt : m_unsavedAt);
    clip->setIsPinned(o.value(QLatin1String("isPinned")).toBool());
    // Never below the lowest the file names, which decides how far its clips are raised.
    if (const auto order = captureOrder(o.value(QLatin1String("captureOrder"))))
        clip->setCaptureOrder(std::max(*order, m_lowestCaptureOrder.value_or(*order)));
    if (const auto pageName = text(o, "pageName"))
        clip->setPinboard(pageNamed(*pageName, {}));
    if (const auto expiresAt = text(o, "expiresAt")) {
        const QDateTime at = QDateTime::fromString(*expiresAt, Qt::ISODateWithMs);
        clip->setExpiresAt(at.isValid() ? at : m_unsavedAt);
    }
    return clip;
}

} // namespace quillmere::UnsavedRecovery
