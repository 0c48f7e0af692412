#include "Quillmere/Platform/Pasteboard.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <algorithm>

#include <X11/Xlib.h>

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
        {PasteboardType::rtf,
         {QStringLiteral("text/rtf"), QStringLiteral("application/rtf"), QStringLiteral("text/richtext")}},
        {PasteboardType::png, {QStringLiteral("image/png")}},
        {PasteboardType::tiff, {QStringLiteral("image/tiff")}},
        {PasteboardType::jpeg, {QStringLiteral("image/jpeg")}},
        {PasteboardType::bmp, {QStringLiteral("image/bmp"), QStringLiteral("image/x-bmp")}},
        {PasteboardType::webp, {QStringLiteral("image/webp")}},
        {PasteboardType::fileURL, {QStringLiteral("text/uri-list"), QStringLiteral("x-special/gnome-copied-files")}},
    };
    return mappings;
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
        // Percent-encoded only: a raw space, control character or byte past ASCII is no URI.
        if (std::any_of(line.cbegin(), line.cend(), [](char c) { return uchar(c) <= 0x20 || uchar(c) >= 0x7f; }))
            return {};
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

const QSet<QString> &concealedPasteboardTypes()
{
    static const QSet<QString> types{
        QStringLiteral("org.nspasteboard.TransientType"),
        QStringLiteral("org.nspasteboard.ConcealedType"),
        QStringLiteral("org.nspasteboard.AutoGeneratedType"),
        QStringLiteral("com.apple.PasteboardConcealedType"),
    };
    return types;
}

QList<QUrl> fileURLsFromMimeData(const QMimeData &mime)
{
    for (const QString &format : {uriListMime, gnomeFilesMime})
        if (mime.hasFormat(format))
            return fileURLsFromList(format, mime.data(format));
    return {};
}

QList<QUrl> fileURLsFromList(const QString &mime, const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    // The GNOME list starts with the operation ("copy" or "cut").
    if (mime.compare(gnomeFilesMime, Qt::CaseInsensitive) == 0 && !lines.isEmpty())
        lines.removeFirst();
    return parseUriLines(lines);
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
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    Display *display = x11->display();
    m_reader = SelectionReader::start(display ? QByteArray(DisplayString(display)) : QByteArray(), x11->connection(),
                                      readPlan());
    if (m_reader)
        m_reader->onSnapshot = [this](const SelectionSnapshot &snapshot) { applySnapshot(snapshot); };
}

SystemPasteboard::~SystemPasteboard() = default;

SelectionReadPlan SystemPasteboard::readPlan()
{
    SelectionReadPlan plan;
    // Files first, as capture asks for them first. Text in the encodings we can be sure of.
    plan.reads = {
        {mimeTypesReadForPasteboardType(PasteboardType::fileURL), maxFileListBytes},
        {{QStringLiteral("UTF8_STRING"), QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("text/plain"),
          QStringLiteral("STRING"), QStringLiteral("TEXT")},
         maxTextBytes,
         true},
        // Capture keeps one rich text beside the string: RTF when there is some.
        {mimeTypesReadForPasteboardType(PasteboardType::rtf) + mimeTypesReadForPasteboardType(PasteboardType::html),
         maxRichTextBytes},
        {{}, maxImageBytes},
    };
    for (const QString &type :
         {PasteboardType::png, PasteboardType::tiff, PasteboardType::jpeg, PasteboardType::bmp, PasteboardType::webp})
        plan.reads.back().targets += mimeTypesReadForPasteboardType(type);
    plan.concealingTargets = concealedPasteboardTypes().values();
    plan.secretHintTarget = passwordManagerHintMimeType;
    return plan;
}

void SystemPasteboard::applySnapshot(const SelectionSnapshot &snapshot)
{
    if (snapshot.initial) {
        // There before us: readable, but not a copy.
        if (!m_ownedByUs)
            m_snapshot = snapshot;
        return;
    }
    // A copy read in full is kept even when a newer one follows; only our own write since then
    // stands in its place.
    if (m_ownedByUs && m_reader->isOvertaken(snapshot))
        return;
    m_snapshot = snapshot;
    m_ownedByUs = false;
    ++m_changeCount;
    Q_EMIT changed();
}

std::optional<QDateTime> SystemPasteboard::changedAt() const
{
    if (m_ownedByUs || m_snapshot.seenAtMs <= 0)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(m_snapshot.seenAtMs, Qt::UTC);
}

std::optional<QByteArray> SystemPasteboard::snapshotData(const QStringList &mimes) const
{
    for (const QString &mime : mimes)
        for (auto it = m_snapshot.data.cbegin(); it != m_snapshot.data.cend(); ++it)
            if (it.key().compare(mime, Qt::CaseInsensitive) == 0)
                return it.value();
    return std::nullopt;
}

QStringList SystemPasteboard::types() const
{
    if (m_ownedByUs) {
        QStringList list = m_pending.types();
        list.append(ownerMimeType);
        return list;
    }
    QStringList list;
    for (const QString &target : m_snapshot.targets) {
        const QString type = pasteboardTypeForMimeType(target);
        if (!list.contains(type))
            list.append(type);
    }
    return list;
}

std::optional<QString> SystemPasteboard::string() const
{
    if (m_ownedByUs)
        return m_pending.string();
    // The reader hands every text target over as UTF-8.
    if (const auto bytes = snapshotData(mimeTypesReadForPasteboardType(PasteboardType::string)))
        return QString::fromUtf8(*bytes);
    return std::nullopt;
}

std::optional<QByteArray> SystemPasteboard::data(const QString &type) const
{
    if (m_ownedByUs)
        return m_pending.data(type);
    return snapshotData(mimeTypesReadForPasteboardType(type));
}

QList<QUrl> SystemPasteboard::readFileURLs() const
{
    if (m_ownedByUs)
        return m_pending.fileURLs();
    for (const QString &format : mimeTypesReadForPasteboardType(PasteboardType::fileURL))
        if (const auto bytes = snapshotData({format}))
            return fileURLsFromList(format, *bytes);
    return {};
}

qint64 SystemPasteboard::clearContents()
{
    m_pending = PasteboardContents{};
    ++m_changeCount;
    publish();
    return m_changeCount;
}

void SystemPasteboard::setPrimaryText(const QString &text)
{
    if (m_clipboard && m_clipboard->supportsSelection())
        m_clipboard->setText(text, QClipboard::Selection);
}

void SystemPasteboard::writeContents(const PasteboardContents &contents)
{
    m_pending.merge(contents);
    publish();
}

void SystemPasteboard::publish()
{
    m_ownedByUs = true;
    if (m_clipboard)
        m_clipboard->setMimeData(new ContentsMimeData(m_pending), QClipboard::Clipboard); // the clipboard owns it
}

} // namespace quillmere
