#pragma once

#include "Quillmere/Platform/SelectionReader.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QClipboard;
class QMimeData;

namespace quillmere {

// Type identifiers are the stored form of pasteboard types; MIME names appear only at the edge.
namespace PasteboardType {
inline const QString string = QStringLiteral("public.utf8-plain-text");
inline const QString html = QStringLiteral("public.html");
inline const QString rtf = QStringLiteral("public.rtf");
inline const QString png = QStringLiteral("public.png");
inline const QString tiff = QStringLiteral("public.tiff");
inline const QString jpeg = QStringLiteral("public.jpeg");
inline const QString bmp = QStringLiteral("com.microsoft.bmp");
inline const QString webp = QStringLiteral("org.webmproject.webp");
inline const QString fileURL = QStringLiteral("public.file-url");
} // namespace PasteboardType

// Every write of ours carries this type, so our own data is recognised even when another
// program takes it over and offers it again.
inline const QString ownerMimeType = QStringLiteral("application/x-quillmere-owner");
// Password managers mark secrets with this type and the value "secret".
inline const QString passwordManagerHintMimeType = QStringLiteral("x-kde-passwordManagerHint");
// Content listed with one of these marker types (concealed, transient, generated) is never kept,
// and never even fetched from another program.
const QSet<QString> &concealedPasteboardTypes();

// The MIME name we write for a type identifier; names we do not know pass through unchanged.
QString mimeTypeForPasteboardType(const QString &type);
// The MIME names that carry a type identifier on read, preferred first.
QStringList mimeTypesReadForPasteboardType(const QString &type);
// The identifier for a MIME name as other programs offer it; unknown names pass through.
QString pasteboardTypeForMimeType(const QString &mime);

// The local files a MIME payload (a clipboard or a drop) names, in its order. A list holding
// anything that is not a URL reads as no files at all.
QList<QUrl> fileURLsFromMimeData(const QMimeData &mime);
// The same for the bytes of one list format: text/uri-list or x-special/gnome-copied-files.
QList<QUrl> fileURLsFromList(const QString &mime, const QByteArray &bytes);

// What one write puts on a pasteboard. Derived entries are produced only when a reader asks.
class PasteboardContents {
public:
    struct Entry {
        QString type;
        QByteArray data;
        std::function<QByteArray()> provider;
    };

    bool isEmpty() const { return !m_string && m_entries.empty() && m_fileURLs.isEmpty(); }

    const std::optional<QString> &string() const { return m_string; }
    void setString(const QString &text) { m_string = text; }

    const std::vector<Entry> &entries() const { return m_entries; }
    // Replaces an entry of the same type.
    void setData(const QByteArray &data, const QString &type);
    void setDerivedData(const QString &type, std::function<QByteArray()> provider);
    bool hasType(const QString &type) const;
    std::optional<QByteArray> data(const QString &type) const;

    const QList<QUrl> &fileURLs() const { return m_fileURLs; }
    void setFileURLs(const QList<QUrl> &urls) { m_fileURLs = urls; }

    // Adds everything in `other` on top of this.
    void merge(const PasteboardContents &other);

    // Type identifiers in the order they were set.
    QStringList types() const;

private:
    std::optional<QString> m_string;
    std::vector<Entry> m_entries;
    QList<QUrl> m_fileURLs;
};

// The general pasteboard as the capture and paste code see it: a change count of our own,
// typed reads, and writes that start with clearContents().
class Pasteboard : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Changes on every new content, whoever wrote it. A write of ours moves it exactly once,
    // in clearContents().
    virtual qint64 changeCount() const = 0;

    // Type identifiers of the current content in the owner's order; unknown MIME names as they are.
    virtual QStringList types() const = 0;
    virtual std::optional<QString> string() const = 0;
    virtual std::optional<QByteArray> data(const QString &type) const = 0;
    virtual QList<QUrl> readFileURLs() const = 0;

    // When the current content was put on the clipboard, as far as this program saw it; nothing
    // where it cannot tell (the main thread's time of handling it is then the best there is).
    virtual std::optional<QDateTime> changedAt() const { return std::nullopt; }
    // True while the content on the clipboard is the one this process wrote.
    virtual bool ownsClipboard() const = 0;
    // The system's read permission for this program; nothing where the system has none.
    virtual std::optional<int> accessBehavior() const { return std::nullopt; }

    // Empties the pasteboard and returns the new change count. What is set afterwards adds to
    // that one content until the next clear.
    virtual qint64 clearContents() = 0;
    virtual void writeContents(const PasteboardContents &contents) = 0;
    // Puts the text in the PRIMARY selection too, for programs that paste from it.
    virtual void setPrimaryText(const QString &text) { Q_UNUSED(text); }

    void setString(const QString &text);
    void setData(const QByteArray &data, const QString &type);
    void writeFileURLs(const QList<QUrl> &urls);

    // The first of `types` present on the pasteboard.
    std::optional<QString> availableType(const QStringList &candidates) const;

Q_SIGNALS:
    // Someone else put new content on the pasteboard (changeCount already moved).
    void changed();
};

// The X11 CLIPBOARD selection. Another program's copy is read off the main thread as it is
// made (see SelectionReader) and answered from that snapshot; writes go through QClipboard, which
// then serves our content to other programs. Without an X display only our own writes are seen.
class SystemPasteboard : public Pasteboard {
    Q_OBJECT
public:
    // How much of another program's copy is read. Bigger content is not read at all, except text,
    // which keeps its beginning (a clip keeps far less anyway).
    static constexpr qint64 maxTextBytes = 16 * 1024 * 1024;
    static constexpr qint64 maxRichTextBytes = 8 * 1024 * 1024;
    static constexpr qint64 maxImageBytes = 64 * 1024 * 1024;
    static constexpr qint64 maxFileListBytes = 1024 * 1024;

    explicit SystemPasteboard(QObject *parent = nullptr);
    ~SystemPasteboard() override;

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override;
    std::optional<QString> string() const override;
    std::optional<QByteArray> data(const QString &type) const override;
    QList<QUrl> readFileURLs() const override;
    bool ownsClipboard() const override { return m_ownedByUs; }
    std::optional<QDateTime> changedAt() const override;

    qint64 clearContents() override;
    void writeContents(const PasteboardContents &contents) override;
    void setPrimaryText(const QString &text) override;

private:
    // What is read of another program's copy, in the order it is tried.
    static SelectionReadPlan readPlan();
    void applySnapshot(const SelectionSnapshot &snapshot);
    std::optional<QByteArray> snapshotData(const QStringList &mimes) const;
    void publish();

    QPointer<QClipboard> m_clipboard;
    std::unique_ptr<SelectionReader> m_reader;
    SelectionSnapshot m_snapshot;
    qint64 m_changeCount = 0;
    PasteboardContents m_pending;
    bool m_ownedByUs = false;
};

} // namespace quillmere
