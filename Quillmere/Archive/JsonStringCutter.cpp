#include "Quillmere/Archive/JsonStringCutter.h"

#include "Quillmere/Archive/ArchiveNames.h"
#include "Quillmere/Archive/JsonText.h"

#include <cstring>

namespace quillmere::archive {
namespace {

bool isPayloadName(const char *key, int length)
{
    if (length < 0)
        return false;
    const QLatin1StringView name(key, length);
    return name == BackupNames::imageDataBase64 || name == BackupNames::fileDataBase64;
}

} // namespace

bool JsonStringCutter::atRest() const
{
    return !m_inString && !m_valueIsPayload && !m_lastWasPayloadName;
}

void JsonStringCutter::keep(const char *data, qsizetype size, QByteArray *out)
{
    m_kept += size;
    if (out)
        out->append(data, size);
}

void JsonStringCutter::unit(const char *data, qsizetype size, qint64 decoded, QByteArray *out)
{
    if (m_payload || m_max < 0) {
        keep(data, size, out);
        return;
    }
    if (!m_cutting && m_stringBytes + decoded > m_max)
        m_cutting = true; // the rest of this string goes
    if (m_cutting)
        return;
    m_stringBytes += decoded;
    keep(data, size, out);
}

void JsonStringCutter::escapeDone(QByteArray *out)
{
    qint64 decoded = 1;
    bool high = false;
    if (m_escape[1] == 'u') {
        int value = 0;
        for (int i = 2; i < 6; ++i)
            value = value * 16 + std::max(hexDigitValue(m_escape[i]), 0);
        if (value < 0x80)
            decoded = 1;
        else if (value < 0x800)
            decoded = 2;
        else if (value >= 0xD800 && value < 0xDC00) {
            decoded = 4; // room for the pair it starts
            high = true;
        } else if (value >= 0xDC00 && value < 0xE000 && m_highCopied)
            decoded = 0;
        else
            decoded = 3;
    }
    const bool wasCutting = m_cutting;
    unit(m_escape, m_escapeLength, decoded, out);
    m_highCopied = high && !m_cutting && !wasCutting;
    m_escapeLength = 0;
}

void JsonStringCutter::feed(const char *data, qsizetype size, QByteArray *out)
{
    qsizetype i = 0;
    while (i < size) {
        if (!m_inString) {
            const char c = data[i++];
            if (c == '"') {
                m_inString = true;
                m_payload = m_valueIsPayload;
                m_valueIsPayload = false;
                m_lastWasPayloadName = false;
                m_cutting = false;
                m_highCopied = false;
                m_stringBytes = 0;
                m_keyLength = 0;
            } else if (c == ':') {
                m_valueIsPayload = m_lastWasPayloadName;
                m_lastWasPayloadName = false;
            } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
                m_valueIsPayload = false;
                m_lastWasPayloadName = false;
            }
            keep(&c, 1, out);
            continue;
        }
        if (m_escapeLength > 0) {
            m_escape[m_escapeLength++] = data[i++];
            m_keyLength = -1;
            if ((m_escapeLength == 2 && m_escape[1] != 'u') || m_escapeLength == 6)
                escapeDone(out);
            continue;
        }
        if (m_payload || m_max < 0 || m_cutting) {
            // Payloads are most of a backup, and a cut string's rest is dropped: in runs up to
            // the next quote or escape.
            qsizetype end = i;
            while (end < size && data[end] != '"' && data[end] != '\\')
                ++end;
            if (!m_cutting)
                keep(data + i, end - i, out);
            i = end;
            if (i == size)
                break;
        }
        const char c = data[i++];
        if (c == '"') {
            m_inString = false;
            m_lastWasPayloadName = !m_payload && isPayloadName(m_key, m_keyLength);
            m_payload = false;
            keep(&c, 1, out);
            continue;
        }
        if (c == '\\') {
            m_escape[0] = c;
            m_escapeLength = 1;
            continue;
        }
        if (m_keyLength >= 0) {
            if (m_keyLength < int(sizeof m_key))
                m_key[m_keyLength++] = c;
            else
                m_keyLength = -1;
        }
        const auto byte = static_cast<unsigned char>(c);
        // A character is kept or cut whole: its lead byte decides for the bytes that follow it.
        const qint64 decoded = byte < 0x80 ? 1 : byte < 0xC0 ? 0 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        m_highCopied = false;
        unit(&c, 1, decoded, out);
    }
}

} // namespace quillmere::archive
