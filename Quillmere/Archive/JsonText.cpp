#include "Quillmere/Archive/JsonText.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>

namespace quillmere::archive {
namespace {

void writeValidText(QByteArray &out, QStringView text)
{
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    const char *data = utf8.constData();
    qsizetype run = 0; // start of the stretch that needs no escaping
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != '/')
            continue;
        out.append(data + run, i - run);
        run = i + 1;
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '/':
            out.append("\\/");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            out.append("\\u00");
            out.append(hex[c >> 4]);
            out.append(hex[c & 0xf]);
        }
    }
    out.append(data + run, utf8.size() - run);
}

// A lone surrogate has no UTF-8 form: it is written as its escape, so reading the text back
// gives the very same string.
void writeString(QByteArray &out, QStringView text)
{
    static const char hex[] = "0123456789abcdef";
    out.append('"');
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!QChar::isSurrogate(c))
            continue;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            ++i;
            continue;
        }
        writeValidText(out, text.mid(run, i - run));
        out.append("\\u");
        for (int shift = 12; shift >= 0; shift -= 4)
            out.append(hex[(c >> shift) & 0xf]);
        run = i + 1;
    }
    writeValidText(out, text.mid(run));
    out.append('"');
}

void writeNumber(QByteArray &out, const QJsonValue &value)
{
    const QCborValue cbor = QCborValue::fromJsonValue(value);
    if (cbor.isInteger()) {
        out.append(QByteArray::number(cbor.toInteger()));
        return;
    }
    out.append(QByteArray::number(value.toDouble(), 'g', 17));
}

void newline(QByteArray &out, JsonLayout layout, int depth)
{
    if (layout != JsonLayout::pretty)
        return;
    out.append('\n');
    out.append(QByteArray(depth * 2, ' '));
}

void write(QByteArray &out, const QJsonValue &value, JsonLayout layout, int depth)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out.append("null");
        break;
    case QJsonValue::Bool:
        out.append(value.toBool() ? "true" : "false");
        break;
    case QJsonValue::Double:
        writeNumber(out, value);
        break;
    case QJsonValue::String:
        writeString(out, value.toString());
        break;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        out.append('[');
        if (array.isEmpty()) {
            out.append(']');
            break;
        }
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out.append(',');
            newline(out, layout, depth + 1);
            write(out, array.at(i), layout, depth + 1);
        }
        newline(out, layout, depth);
        out.append(']');
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end());
        out.append('{');
        if (keys.isEmpty()) {
            out.append('}');
            break;
        }
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (i > 0)
                out.append(',');
            newline(out, layout, depth + 1);
            writeString(out, keys[i]);
            out.append(layout == JsonLayout::pretty ? " : " : ":");
            write(out, object.value(keys[i]), layout, depth + 1);
        }
        newline(out, layout, depth);
        out.append('}');
        break;
    }
    }
}

} // namespace

void appendJsonString(QByteArray &out, QStringView text)
{
    writeString(out, text);
}

QByteArray jsonText(const QJsonValue &value, JsonLayout layout)
{
    QByteArray out;
    write(out, value, layout, 0);
    return out;
}

} // namespace quillmere::archive
