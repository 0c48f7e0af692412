#include "Quillmere/Platform/Pasteboard.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QSet>

namespace quillmere {
namespace {

struct TypeMapping {
    const QString &type;
    QStringList readMimes; // first one is what we write
};

const std::vector<TypeMapping> &typeMappings()
{
    static const std::vector<TypeMapping> mappings{
        {PasteboardType::string,
         {QStringLiteral("text/plain"), QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("UTF8_STRING"),
          QStringLiteral("STRING"), QStringLiteral("TEXT"), QStringLiteral("COMPOUND_TEXT")}},
        {PasteboardType::html, {QStringLiteral("text/html")}},
        {PasteboardType::rtf, {QStringLiteral("text/rtf"), QStringLiteral("application/rtf"), QStringLiteral("text/richtext")}},
        {PasteboardType::png, {QStringLiteral("image/png")}},
        {PasteboardType::tiff, {QStringLiteral("image/tiff")}},
        {PasteboardType::jpeg, {QStringLiteral("image/jpeg")}},
        {PasteboardType::bmp, {QStringLiteral("image/bmp"), QStringLiteral("image/x-bmp")}},
        {PasteboardType::fileURL, {QStringLiteral("text/uri-list"), QStringLiteral("x-special/gnome-copied-files")}},
    };
    return mappings;
}

// Selection plumbing that X11 lists among the targets but that is no content.
bool isSelectionPlumbing(const QString &name)
{
    return name == QLatin1String("TARGETS") || name == QLatin1String("MULTIPLE") || name == QLatin1String("TIMESTAMP")
        || name == QLatin1String("SAVE_TARGETS");
}

const QString uriListMime = QStringLiteral("text/uri-list");
const QString gnomeFilesMime = QStringLiteral("x-special/gnome-copied-files");

QList<QUrl> parseUriLines(const QList<QByteArray> &lines)
{
    QList<QUrl> urls;
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().isEmpty())
            return {};
        urls.append(url);
    }
    QList<QUrl> files;
    for (const QUrl &url : urls)
        if (url.isLocalFile())
            files.append(url);
    return files;
}

QByteArray encodeUriList(const QList<QUrl> &urls, const char *separator)
{
    QByteArrayList parts;
    for (const QUrl &url : urls)
        parts.append(url.toEncoded());
    return parts.join(separator);
}

// Our content as Qt hands it to other programs; derived types are made on first request.
class ContentsMimeData : public QMimeData {
public:
    explicit ContentsMimeData(const PasteboardContents &contents)
    {
        if (contents.string())
            setText(*contents.string());
        for (const auto &entry : contents.entries()) {
            const QString mime = mimeTypeForPasteboardType(entry.type);
            if (entry.provider) {
                m_lazy.append({mime, entry.provider, {}, false});
            } else {
                setData(mime, entry.data);
            }
        }
        if (!contents.fileURLs().isEmpty()) {
            setData(uriListMime, encodeUriList(contents.fileURLs(), "\r\n") + "\r\n");
            setData(gnomeFilesMime, "copy\n" + encodeUriList(contents.fileURLs(), "\n"));
        }
        setData(ownerMimeType, QByteArrayLiteral("1"));
    }

    QStringList formats() const override
    {
        QStringList list = QMimeData::formats();
        for (const auto &lazy : m_lazy)
            if (!list.contains(lazy.mime))
                list.append(lazy.mime);
        return list;
    }
    bool hasFormat(const QString &mime) const override
    {
        return QMimeData::hasFormat(mime) || findLazy(mime) != nullptr;
    }

protected:
    QVariant retrieveData(const QString &mime, QMetaType type) const override
    {
        if (auto *lazy = findLazy(mime)) {
            if (!lazy->made) {
                lazy->data = lazy->provider();
                lazy->made = true;
            }
            return lazy->data;
        }
        return QMimeData::retrieveData(mime, type);
    }

private:
    struct Lazy {
        QString mime;
        std::function<QByteArray()> provider;
        QByteArray data;
        bool made;
    };
    Lazy *findLazy(const QString &mime) const
    {
        for (auto &lazy : m_lazy)
            if (lazy.mime == mime)
                return &lazy;
        return nullptr;
    }
    mutable QList<Lazy> m_lazy;
};

} // namespace

QString mimeTypeForPasteboardType(const QString &type)
{
    for (const auto &mapping : typeMappings())
        if (mapping.type == type)
            return mapping.readMimes.first();
    return type;
}

QStringList mimeTypesReadForPasteboardType(const QString &type)
{
    for (const auto &mapping : typeMappings())
        if (mapping.type == type)
            return mapping.readMimes;
    return {type};
}

QString pasteboardTypeForMimeType(const QString &mime)
{
    for (const auto &mapping : typeMappings())
        for (const QString &candidate : mapping.readMimes)
            if (candidate.compare(mime, Qt::CaseInsensitive) == 0)
                return mapping.type;
    return mime;
}

QList<QUrl> fileURLsFromMimeData(const QMimeData &mime)
{
    if (mime.hasFormat(uriListMime))
        return parseUriLines(mime.data(uriListMime).split('\n'));
    if (mime.hasFormat(gnomeFilesMime)) {
        // First line is the operation ("copy" or "cut").
        QList<QByteArray> lines = mime.data(gnomeFilesMime).split('\n');
        if (!lines.isEmpty())
            lines.removeFirst();
        return parseUriLines(lines);
    }
    return {};
}

// ---- PasteboardContents ------------------------------------------------------------------

void PasteboardContents::setData(const QByteArray &data, const QString &type)
{
    for (auto &entry : m_entries) {
        if (entry.type == type) {
            entry.data = data;
            entry.provider = nullptr;
            return;
        }
    }
    m_entries.push_back({type, data, nullptr});
}

void PasteboardContents::setDerivedData(const QString &type, std::function<QByteArray()> provider)
{
    for (auto &entry : m_entries) {
        if (entry.type == type) {
            entry.data.clear();
            entry.provider = std::move(provider);
            return;
        }
    }
    m_entries.push_back({type, {}, std::move(provider)});
}

bool PasteboardContents::hasType(const QString &type) const
{
    return types().contains(type);
}

std::optional<QByteArray> PasteboardContents::data(const QString &type) const
{
    for (const auto &entry : m_entries)
        if (entry.type == type)
            return entry.provider ? entry.provider() : entry.data;
    if (type == PasteboardType::string && m_string)
        return m_string->toUtf8();
    if (type == PasteboardType::fileURL && !m_fileURLs.isEmpty())
        return encodeUriList(m_fileURLs, "\r\n") + "\r\n";
    return std::nullopt;
}

void PasteboardContents::merge(const PasteboardContents &other)
{
    if (other.m_string)
        m_string = other.m_string;
    for (const auto &entry : other.m_entries) {
        if (entry.provider)
            setDerivedData(entry.type, entry.provider);
        else
            setData(entry.data, entry.type);
    }
    if (!other.m_fileURLs.isEmpty())
        m_fileURLs = other.m_fileURLs;
}

QStringList PasteboardContents::types() const
{
    QStringList list;
    if (m_string)
        list.append(PasteboardType::string);
    for (const auto &entry : m_entries)
        if (!list.contains(entry.type))
            list.append(entry.type);
    if (!m_fileURLs.isEmpty() && !list.contains(PasteboardType::fileURL))
        list.append(PasteboardType::fileURL);
    return list;
}

// ---- Pasteboard --------------------------------------------------------------------------

void Pasteboard::setString(const QString &text)
{
    PasteboardContents contents;
    contents.setString(text);
    writeContents(contents);
}

void Pasteboard::setData(const QByteArray &data, const QString &type)
{
    PasteboardContents contents;
    contents.setData(data, type);
    writeContents(contents);
}

void Pasteboard::writeFileURLs(const QList<QUrl> &urls)
{
    PasteboardContents contents;
    contents.setFileURLs(urls);
    writeContents(contents);
}

std::optional<QString> Pasteboard::availableType(const QStringList &candidates) const
{
    const QStringList present = types();
    for (const QString &type : candidates)
        if (present.contains(type))
            return type;
    return std::nullopt;
}

// ---- SystemPasteboard --------------------------------------------------------------------

SystemPasteboard::SystemPasteboard(QObject *parent) : Pasteboard(parent), m_clipboard(QGuiApplication::clipboard())
{
    if (m_clipboard) {
        connect(m_clipboard, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
            if (mode == QClipboard::Clipboard)
                onClipboardChanged();
        });
    }
}

SystemPasteboard::~SystemPasteboard() = default;

void SystemPasteboard::onClipboardChanged()
{
    // Our own setMimeData reports back synchronously; clearContents already moved the count.
    if (m_publishing || (m_clipboard && m_clipboard->ownsClipboard()))
        return;
    ++m_changeCount;
    m_stalledChange = -1;
    Q_EMIT changed();
}

const QMimeData *SystemPasteboard::readableMimeData() const
{
    if (!m_clipboard || m_stalledChange == m_changeCount)
        return nullptr;
    return m_clipboard->mimeData(QClipboard::Clipboard);
}

void SystemPasteboard::noteReadDuration(qint64 elapsedMs, bool gotData) const
{
    if (!gotData && elapsedMs >= stalledReadMs && !ownsClipboard()) {
        qCWarning(lcClipboard, "Clipboard owner did not answer within %d ms; skipping this change", stalledReadMs);
        m_stalledChange = m_changeCount;
    }
}

QStringList SystemPasteboard::types() const
{
    QElapsedTimer timer;
    timer.start();
    const QMimeData *mime = readableMimeData();
    if (!mime)
        return {};
    QStringList list;
    const QStringList formats = mime->formats();
    for (const QString &format : formats) {
        if (isSelectionPlumbing(format))
            continue;
        const QString type = pasteboardTypeForMimeType(format);
        if (!list.contains(type))
            list.append(type);
    }
    noteReadDuration(timer.elapsed(), !formats.isEmpty());
    return list;
}

std::optional<QString> SystemPasteboard::string() const
{
    QElapsedTimer timer;
    timer.start();
    const QMimeData *mime = readableMimeData();
    if (!mime || !mime->hasText())
        return std::nullopt;
    // QMimeData::text() asks for the UTF-8 target and then for plain text, two waits on a hung
    // owner; asking for the first ourselves puts the stall check in between.
    static const QString utf8Text = QStringLiteral("text/plain;charset=utf-8");
    if (!ownsClipboard() && mime->hasFormat(utf8Text)) {
        const QByteArray bytes = mime->data(utf8Text);
        noteReadDuration(timer.elapsed(), !bytes.isEmpty());
        if (m_stalledChange == m_changeCount)
            return std::nullopt;
        if (!bytes.isEmpty())
            return QString::fromUtf8(bytes);
    }
    const QString text = mime->text();
    noteReadDuration(timer.elapsed(), !text.isEmpty());
    if (m_stalledChange == m_changeCount)
        return std::nullopt;
    return text;
}

std::optional<QByteArray> SystemPasteboard::data(const QString &type) const
{
    QElapsedTimer timer;
    timer.start();
    const QMimeData *mime = readableMimeData();
    if (!mime)
        return std::nullopt;
    for (const QString &candidate : mimeTypesReadForPasteboardType(type)) {
        if (!mime->hasFormat(candidate))
            continue;
        const QByteArray bytes = mime->data(candidate);
        noteReadDuration(timer.elapsed(), !bytes.isEmpty());
        if (m_stalledChange == m_changeCount)
            return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}

QList<QUrl> SystemPasteboard::readFileURLs() const
{
    // Files are the first thing a capture asks for, so this read needs the same stall guard as
    // the others; the list is copied out and parsed like a drop's.
    QElapsedTimer timer;
    timer.start();
    const QMimeData *mime = readableMimeData();
    if (!mime)
        return {};
    for (const QString &format : mimeTypesReadForPasteboardType(PasteboardType::fileURL)) {
        if (!mime->hasFormat(format))
            continue;
        const QByteArray bytes = mime->data(format);
        noteReadDuration(timer.elapsed(), !bytes.isEmpty());
        if (m_stalledChange == m_changeCount)
            return {};
        QMimeData list;
        list.setData(format, bytes);
        return fileURLsFromMimeData(list);
    }
    return {};
}

bool SystemPasteboard::ownsClipboard() const
{
    return m_clipboard && m_clipboard->ownsClipboard();
}

qint64 SystemPasteboard::clearContents()
{
    m_pending = PasteboardContents{};
    ++m_changeCount;
    m_stalledChange = -1;
    publish();
    return m_changeCount;
}

void SystemPasteboard::writeContents(const PasteboardContents &contents)
{
    m_pending.merge(contents);
    publish();
}

void SystemPasteboard::publish()
{
    if (!m_clipboard)
        return;
    m_publishing = true;
    m_clipboard->setMimeData(new ContentsMimeData(m_pending), QClipboard::Clipboard); // the clipboard owns it
    m_publishing = false;
}

// ---- MemoryPasteboard --------------------------------------------------------------------

QStringList MemoryPasteboard::types() const
{
    QStringList list = m_contents.types();
    if (m_ownedByUs)
        list.append(ownerMimeType);
    return list;
}

std::optional<QByteArray> MemoryPasteboard::data(const QString &type) const
{
    return m_contents.data(type);
}

qint64 MemoryPasteboard::clearContents()
{
    m_contents = PasteboardContents{};
    m_ownedByUs = true;
    ++m_clearCount;
    return ++m_changeCount;
}

void MemoryPasteboard::writeContents(const PasteboardContents &contents)
{
    m_contents.merge(contents);
}

void MemoryPasteboard::simulateExternalCopy(const PasteboardContents &contents)
{
    m_contents = contents;
    m_ownedByUs = false;
    ++m_changeCount;
    Q_EMIT changed();
}

} // namespace quillmere
