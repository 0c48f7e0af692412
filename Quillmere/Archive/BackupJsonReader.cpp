#include "Quillmere/Archive/BackupJsonReader.h"
#include "Quillmere/Archive/JsonText.h"
#include "Quillmere/Platform/Core/HandOver.h"

#include <QSet>
#include <QStringDecoder>
#include <QtConcurrent>
#include <atomic>
#include <cmath>
#include <map>

namespace quillmere::archive {
namespace {

// One value as a field reads it.
struct Value {
    enum class Type { absent, null, boolean, number, string, other } type = Type::absent;
    bool boolean = false;
    double number = 0;
    QString string;
    // A string left unread: its text from the opening to past the closing quote.
    const char *rawBegin = nullptr;
    const char *rawEnd = nullptr;
};

class Reader {
public:
    explicit Reader(const QByteArray &json) : m_p(json.constData()), m_end(json.constData() + json.size()) {}
    Reader(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    bool fail()
    {
        m_ok = false;
        return false;
    }
    bool ok() const { return m_ok; }

    void space()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }
    bool atEnd()
    {
        space();
        return m_p == m_end;
    }
    bool take(char c)
    {
        space();
        if (m_p < m_end && *m_p == c) {
            ++m_p;
            return true;
        }
        return false;
    }
    bool peek(char c)
    {
        space();
        return m_p < m_end && *m_p == c;
    }

    // Calls `member(key)` for each member of an object; the callback reads the value.
    template <typename Member> bool object(Member member)
    {
        if (!take('{'))
            return fail();
        if (take('}'))
            return true;
        do {
            QString key;
            if (!peek('"') || !string(key) || !take(':'))
                return fail();
            if (!member(key))
                return fail();
        } while (take(','));
        return take('}') || fail();
    }
    template <typename Element> bool array(Element element)
    {
        if (!take('['))
            return fail();
        if (take(']'))
            return true;
        do {
            if (!element())
                return fail();
        } while (take(','));
        return take(']') || fail();
    }

    // A scalar, or any object or array skipped over (typed `other`). A `lazy` string is only
    // measured, to be read later, elsewhere.
    bool value(Value &out, int depth = 0, bool lazy = false)
    {
        space();
        if (m_p == m_end || depth > 64)
            return fail();
        switch (*m_p) {
        case '"':
            out.type = Value::Type::string;
            if (lazy)
                return skipString(out);
            return string(out.string);
        case '{':
            out.type = Value::Type::other;
            return object([&](const QString &) {
                Value skipped;
                return value(skipped, depth + 1);
            });
        case '[':
            out.type = Value::Type::other;
            return array([&] {
                Value skipped;
                return value(skipped, depth + 1);
            });
        case 't':
            out.type = Value::Type::boolean;
            out.boolean = true;
            return word("true");
        case 'f':
            out.type = Value::Type::boolean;
            out.boolean = false;
            return word("false");
        case 'n':
            out.type = Value::Type::null;
            return word("null");
        default:
            out.type = Value::Type::number;
            return number(out.number);
        }
    }

    bool word(const char *w)
    {
        const qsizetype n = qsizetype(strlen(w));
        if (m_end - m_p < n || memcmp(m_p, w, size_t(n)) != 0)
            return fail();
        m_p += n;
        return true;
    }

    bool number(double &out)
    {
        const char *start = m_p;
        auto digits = [&] {
            const char *from = m_p;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            return m_p > from;
        };
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        if (m_p < m_end && *m_p == '0')
            ++m_p;
        else if (!digits())
            return fail();
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            if (!digits())
                return fail();
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (!digits())
                return fail();
        }
        bool parsed = false;
        out = QByteArray::fromRawData(start, m_p - start).toDouble(&parsed);
        return (parsed && std::isfinite(out)) || fail();
    }

    bool skipString(Value &out)
    {
        out.rawBegin = m_p++;
        bool ascii = true;
        for (;;) {
            if (!plainRun(ascii) || m_p == m_end)
                return fail();
            if (*m_p == '"')
                break;
            // A backslash and the byte it escapes; the escape itself is judged on reading.
            if (m_end - m_p < 2)
                return fail();
            m_p += 2;
        }
        out.rawEnd = ++m_p;
        return true;
    }

    // Moves past bytes that need no escaping. False on a control byte; clears `ascii` on UTF-8.
    bool plainRun(bool &ascii)
    {
        constexpr quint64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        auto zeroByte = [](quint64 x) { return (x - ones) & ~x & highs; };
        while (m_end - m_p >= 8) {
            quint64 w;
            memcpy(&w, m_p, 8);
            const quint64 special = zeroByte(w ^ (ones * '"')) | zeroByte(w ^ (ones * '\\'))
                | ((w - ones * 0x20) & ~w & highs) | (w & highs);
            if (special)
                break;
            m_p += 8;
        }
        while (m_p < m_end && *m_p != '"' && *m_p != '\\') {
            const auto c = static_cast<unsigned char>(*m_p);
            if (c < 0x20)
                return false;
            ascii = ascii && c < 0x80;
            ++m_p;
        }
        return true;
    }

    bool string(QString &out)
    {
        if (m_p == m_end || *m_p != '"')
            return fail();
        ++m_p;
        bool ascii = true;
        const char *start = m_p;
        if (!plainRun(ascii) || m_p == m_end)
            return fail();
        if (*m_p == '"' && ascii) {
            out = QString::fromLatin1(start, m_p - start);
            ++m_p;
            return true;
        }
        // Escapes or UTF-8: gather the bytes, then decode them strictly.
        QByteArray bytes(start, m_p - start);
        while (*m_p != '"') {
            ++m_p; // the backslash
            if (m_p == m_end)
                return fail();
            switch (*m_p++) {
            case '"':
                bytes.append('"');
                break;
            case '\\':
                bytes.append('\\');
                break;
            case '/':
                bytes.append('/');
                break;
            case 'b':
                bytes.append('\b');
                break;
            case 'f':
                bytes.append('\f');
                break;
            case 'n':
                bytes.append('\n');
                break;
            case 'r':
                bytes.append('\r');
                break;
            case 't':
                bytes.append('\t');
                break;
            case 'u': {
                if (m_end - m_p < 4)
                    return fail();
                int unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const int h = hexDigitValue(m_p[i]);
                    if (h < 0)
                        return fail();
                    unit = unit * 16 + h;
                }
                m_p += 4;
                char32_t code = char32_t(unit);
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    // Only a complete pair is sure; a lone half is left to the DOM reader.
                    if (m_end - m_p < 6 || m_p[0] != '\\' || m_p[1] != 'u')
                        return fail();
                    int low = 0;
                    for (int i = 2; i < 6; ++i) {
                        const int h = hexDigitValue(m_p[i]);
                        if (h < 0)
                            return fail();
                        low = low * 16 + h;
                    }
                    if (low < 0xDC00 || low > 0xDFFF)
                        return fail();
                    m_p += 6;
                    code = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return fail();
                }
                if (code >= 0x80)
                    ascii = false;
                bytes.append(QString::fromUcs4(&code, 1).toUtf8());
                break;
            }
            default:
                return fail();
            }
            const char *run = m_p;
            if (!plainRun(ascii) || m_p == m_end)
                return fail();
            bytes.append(run, m_p - run);
        }
        ++m_p;
        if (ascii) {
            out = QString::fromLatin1(bytes);
            return true;
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        out = decoder(bytes);
        return !decoder.hasError() || fail();
    }

private:
    const char *m_p;
    const char *m_end;
    bool m_ok = true;
};

// The fields of one object, read the way the DOM reader reads them.
class Fields {
public:
    // A repeated key is left to the DOM reader's rule.
    bool set(const QString &key, Value value) { return m_values.emplace(key, std::move(value)).second; }
    bool ok() const { return m_ok; }
    void fail() { m_ok = false; }
    const Value *get(const QString &key) { return find(key); }

    QString string(const QString &key)
    {
        Value *v = find(key);
        if (!v || v->type != Value::Type::string) {
            m_ok = false;
            return {};
        }
        return std::move(v->string);
    }
    std::optional<QString> optionalString(const QString &key)
    {
        Value *v = find(key);
        if (!v || v->type == Value::Type::null)
            return std::nullopt;
        return string(key);
    }
    bool boolean(const QString &key)
    {
        Value *v = find(key);
        if (!v || v->type != Value::Type::boolean) {
            m_ok = false;
            return false;
        }
        return v->boolean;
    }
    qint64 integer(const QString &key)
    {
        Value *v = find(key);
        if (!v || v->type != Value::Type::number) {
            m_ok = false;
            return 0;
        }
        const double d = v->number;
        if (!(d >= -9.2e18 && d <= 9.2e18) || d != static_cast<double>(static_cast<qint64>(d))) {
            m_ok = false;
            return 0;
        }
        return static_cast<qint64>(d);
    }
    QDateTime date(const QString &key)
    {
        const QString text = string(key);
        if (!m_ok)
            return {};
        const auto parsed = parseDate(text, Fraction::optional);
        if (!parsed)
            m_ok = false;
        return parsed.value_or(QDateTime());
    }

private:
    Value *find(const QString &key)
    {
        const auto it = m_values.find(key);
        return it == m_values.end() ? nullptr : &it->second;
    }
    std::map<QString, Value> m_values;
    bool m_ok = true;
};

bool isPayloadKey(const QString &key)
{
    return key == BackupNames::imageDataBase64 || key == BackupNames::fileDataBase64;
}

bool readFields(Reader &r, Fields &fields, bool lazyPayloads = false)
{
    return r.object([&](const QString &key) {
        Value v;
        if (!r.value(v, 0, lazyPayloads && isPayloadKey(key)))
            return false;
        return fields.set(key, std::move(v));
    });
}

} // namespace

std::optional<ClipArchiveDocument> readBackupJson(const QByteArray &json)
{
    Reader r(json);
    ClipArchiveDocument doc;
    bool sawManifest = false, sawPages = false, sawClips = false;
    // Images and files are most of the text: they are read afterwards, side by side.
    struct Payload {
        size_t clip;
        bool image;
        const char *begin;
        const char *end;
    };
    std::vector<Payload> payloads;
    QSet<QString> keys;
    // A repeated key is left to the DOM reader's rule.
    const bool read = r.object([&](const QString &key) {
        if (keys.contains(key))
            return false;
        keys.insert(key);
        if (key == BackupNames::manifest) {
            if (!r.peek('{'))
                return false;
            Fields m;
            if (!readFields(r, m))
                return false;
            readManifestFields(m, doc.manifest);
            sawManifest = true;
            return m.ok();
        }
        if (key == BackupNames::pinboards) {
            if (!r.peek('['))
                return false;
            doc.pinboards.clear();
            sawPages = true;
            return r.array([&] {
                Fields p;
                if (!r.peek('{') || !readFields(r, p))
                    return false;
                ClipArchivePinboard page;
                readPinboardFields(p, page);
                doc.pinboards.push_back(std::move(page));
                return p.ok();
            });
        }
        if (key == BackupNames::clips) {
            if (!r.peek('['))
                return false;
            doc.clips.clear();
            payloads.clear();
            sawClips = true;
            return r.array([&] {
                Fields c;
                if (!r.peek('{') || !readFields(r, c, true))
                    return false;
                ClipArchiveClip clip;
                readClipFields(c, clip, [&](const QString &name, std::optional<QString> &field, bool image) {
                    const Value *v = c.get(name);
                    if (!v || v->type == Value::Type::null)
                        return;
                    if (v->type != Value::Type::string)
                        return c.fail();
                    field = QString();
                    payloads.push_back({doc.clips.size(), image, v->rawBegin, v->rawEnd});
                });
                doc.clips.push_back(std::move(clip));
                return c.ok();
            });
        }
        Value skipped;
        return r.value(skipped);
    });
    if (!read || !r.ok() || !r.atEnd() || !sawManifest || !sawPages || !sawClips)
        return std::nullopt;
    std::atomic<bool> unsure = false;
    QtConcurrent::blockingMap(
        QThreadPool::globalInstance(), payloads, QUILLMERE_HANDED_OVER(&payloads, [&](const Payload &payload) {
            Reader text(payload.begin, payload.end);
            ClipArchiveClip &clip = doc.clips[payload.clip];
            if (!text.string(*(payload.image ? clip.imageDataBase64 : clip.fileDataBase64)) || !text.atEnd())
                unsure = true;
        }));
    takeOver(&payloads);
    if (unsure)
        return std::nullopt;
    return doc;
}

} // namespace quillmere::archive
