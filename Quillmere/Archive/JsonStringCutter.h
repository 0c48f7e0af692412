#pragma once

#include <QByteArray>

namespace quillmere::archive {

// Cuts each string of a JSON text to at most `maxBytes` of UTF-8 while the text passes through, a
// piece at a time, so a long text is never held whole: the backup's payloads (image and file
// bytes) go through as they are. A cut falls between characters and escapes, never inside one; the
// text stays valid JSON. A negative bound lets everything through.
class JsonStringCutter {
public:
    explicit JsonStringCutter(qint64 maxBytes) : m_max(maxBytes) {}

    // Appends what is kept of `size` bytes to `out`, or only counts it when `out` is null.
    void feed(const char *data, qsizetype size, QByteArray *out);
    qint64 keptBytes() const { return m_kept; }
    // Outside every string with no key waiting for its value: where a stretch cut on its own
    // from a fresh cutter joins up with the one before.
    bool atRest() const;

private:
    void keep(const char *data, qsizetype size, QByteArray *out);
    void unit(const char *data, qsizetype size, qint64 decoded, QByteArray *out);
    void escapeDone(QByteArray *out);

    qint64 m_max;
    qint64 m_kept = 0;
    bool m_inString = false;
    bool m_payload = false;        // the string is a payload: never cut
    bool m_valueIsPayload = false; // a payload key and its colon were seen
    bool m_cutting = false;
    bool m_highCopied = false; // the last unit was a high surrogate's escape, kept
    qint64 m_stringBytes = 0;
    char m_escape[6] = {};
    int m_escapeLength = 0;
    char m_key[16] = {};
    int m_keyLength = 0; // -1: too long, or escaped, to be a name we look for
    bool m_lastWasPayloadName = false;
};

} // namespace quillmere::archive
