#pragma once

#include <QByteArray>
#include <QJsonValue>

namespace quillmere::archive {

enum class JsonLayout {
    compact, // no whitespace at all
    pretty,  // two-space indent, "key" : value
};

// UTF-8 JSON with keys sorted by code unit and "/" written as "\/", the way the files have always
// been written. Integers are written without a fraction.
QByteArray jsonText(const QJsonValue &value, JsonLayout layout);
// One string as `jsonText` writes it, for writers that build the text themselves.
void appendJsonString(QByteArray &out, QStringView text);
// The value of one hex digit of a \u escape; -1 for any other byte.
constexpr int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace quillmere::archive
