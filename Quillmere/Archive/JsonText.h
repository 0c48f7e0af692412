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

} // namespace quillmere::archive
