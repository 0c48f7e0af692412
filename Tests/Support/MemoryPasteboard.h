#pragma once

#include "Quillmere/Platform/Pasteboard.h"

namespace quillmere {

// A pasteboard that lives in this process only, for tests.
class MemoryPasteboard : public Pasteboard {
    Q_OBJECT
public:
    using Pasteboard::Pasteboard;

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override;
    std::optional<QString> string() const override { return m_contents.string(); }
    std::optional<QByteArray> data(const QString &type) const override;
    QList<QUrl> readFileURLs() const override { return m_contents.fileURLs(); }
    bool ownsClipboard() const override { return m_ownedByUs; }
    std::optional<int> accessBehavior() const override { return m_accessBehavior; }

    qint64 clearContents() override;
    void writeContents(const PasteboardContents &contents) override;
    void setPrimaryText(const QString &text) override { primary = text; }
    std::optional<QString> primary; // what PRIMARY was given

    // Plays another program: replaces the content, moves the count and emits changed().
    void simulateExternalCopy(const PasteboardContents &contents);
    void setAccessBehavior(std::optional<int> value) { m_accessBehavior = value; }
    const PasteboardContents &contents() const { return m_contents; }
    int clearCount() const { return m_clearCount; }

private:
    PasteboardContents m_contents;
    qint64 m_changeCount = 0;
    bool m_ownedByUs = false;
    int m_clearCount = 0;
    std::optional<int> m_accessBehavior;
};

} // namespace quillmere
