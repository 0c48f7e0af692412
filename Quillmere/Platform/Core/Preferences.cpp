#include "Quillmere/Platform/Core/Preferences.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {
namespace {

constexpr int kLastRetryMs = 5 * 60 * 1000;

// Data is written as {"$data": base64} so that it never reads back as text.
const QString kDataTag = QStringLiteral("$data");

QJsonValue toJsonValue(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return static_cast<double>(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    case QMetaType::QByteArray:
        return QJsonObject{{kDataTag, QString::fromLatin1(v.toByteArray().toBase64())}};
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(v.toStringList());
    default:
        return v.toString();
    }
}

QVariant fromJsonValue(const QJsonValue &j)
{
    switch (j.type()) {
    case QJsonValue::Bool:
        return j.toBool();
    case QJsonValue::Double: {
        const double d = j.toDouble();
        if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0)
            return static_cast<qint64>(d);
        return d;
    }
    case QJsonValue::String:
        return j.toString();
    case QJsonValue::Array: {
        QStringList list;
        for (const QJsonValue &e : j.toArray())
            list << e.toString();
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject o = j.toObject();
        if (o.size() == 1 && o.value(kDataTag).isString())
            return QByteArray::fromBase64(o.value(kDataTag).toString().toLatin1());
        return {};
    }
    default:
        return {};
    }
}

// The text of each top-level member of a document already known to be a valid JSON object, so
// that members nobody changed are written back exactly as they were read.
class MemberScanner {
public:
    explicit MemberScanner(const QByteArray &text) : m_text(text) {}

    // Calls `found(key, memberText)` for each member in order; memberText runs from the key's
    // opening quote to the end of the value.
    template <typename Found> void scan(Found found)
    {
        skipSpace();
        if (!take('{'))
            return;
        for (;;) {
            skipSpace();
            if (atEnd() || peek() == '}')
                return;
            const qsizetype keyStart = m_pos;
            skipString();
            const QByteArray keyToken = m_text.mid(keyStart, m_pos - keyStart);
            skipSpace();
            take(':');
            skipSpace();
            skipValue();
            const QJsonArray decodedKey = QJsonDocument::fromJson('[' + keyToken + ']').array();
            found(decodedKey.at(0).toString(), m_text.mid(keyStart, m_pos - keyStart));
            skipSpace();
            if (!take(','))
                return;
        }
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return m_text.at(m_pos); }
    bool take(char c)
    {
        if (atEnd() || peek() != c)
            return false;
        ++m_pos;
        return true;
    }
    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++m_pos;
    }
    void skipString()
    {
        ++m_pos; // the opening quote
        while (!atEnd()) {
            const char c = m_text.at(m_pos++);
            if (c == '\\')
                ++m_pos;
            else if (c == '"')
                return;
        }
    }
    void skipValue()
    {
        int depth = 0;
        while (!atEnd()) {
            const char c = peek();
            if (c == '"') {
                skipString();
            } else if (c == '{' || c == '[') {
                ++depth;
                ++m_pos;
            } else if (c == '}' || c == ']') {
                if (depth == 0)
                    return;
                --depth;
                ++m_pos;
            } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
                return;
            } else {
                ++m_pos;
            }
            if (depth == 0 && (c == '"' || c == '}' || c == ']'))
                return;
        }
    }

    const QByteArray &m_text;
    qsizetype m_pos = 0;
};

std::optional<QJsonObject> parseObject(const QByteArray &bytes)
{
    if (bytes.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// One member as the file writes it, nested values indented below it.
QByteArray memberText(const QString &key, const QJsonValue &value)
{
    QByteArray text = QJsonDocument(QJsonObject{{key, value}}).toJson(QJsonDocument::Indented);
    // "{\n    "key": value\n}\n" without the braces and the first indentation.
    text.chop(3);
    return text.mid(6);
}

bool isNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// Keep the user's unreadable file for recovery rather than overwrite it with the defaults.
void moveDamagedFileAside(const QString &path)
{
    const QString aside = path + QStringLiteral(".damaged-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (QFile::rename(path, aside))
        qCWarning(lcApp, "The preferences file could not be read; moved it to %s and started from defaults",
                  qPrintable(aside));
    else
        qCWarning(lcApp, "The preferences file could not be read nor moved aside: %s", qPrintable(path));
}

// Preferences may hold tokens and addresses: only the user reads them. Only what the program
// makes there is narrowed (its folder, its file): never a link, a shared sticky folder such as
// /tmp, anything of another kind (a folder where the file should be), nor anything that belongs
// to someone else.
void makePrivate(const QString &path, mode_t type, mode_t mode)
{
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) != 0 || (st.st_mode & S_IFMT) != type || st.st_uid != ::geteuid()
        || (st.st_mode & S_ISVTX))
        return;
    if ((st.st_mode & 07777 & ~mode) != 0 && ::chmod(native.constData(), st.st_mode & mode) != 0)
        qCWarning(lcApp, "Could not make %s private: %s", qPrintable(path), std::strerror(errno));
}

// Far above any real preferences; a file past it is not the program's.
constexpr qint64 kMaxFileBytes = 32 * 1024 * 1024;

} // namespace

Preferences::Preferences(const QString &filePath, QObject *parent)
    : QObject(parent), m_path(filePath.isEmpty() ? standardFilePath() : filePath)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_dirty)
            save();
    });
    const QString directory = QFileInfo(m_path).absolutePath();
    makePrivatePath(directory);
    makePrivate(directory, S_IFDIR, 0700);
    makePrivate(m_path, S_IFREG, 0600);
    load();
}

Preferences::Preferences(InMemory, QObject *parent) : QObject(parent)
{
}

Preferences::~Preferences()
{
    if (m_dirty)
        save();
}

void Preferences::load()
{
    // Opened without waiting, so a FIFO put in its place cannot hold the start.
    const BoundedFileRead read = readBoundedFile(m_path, kMaxFileBytes);
    if (read.status == BoundedFileRead::Status::missing)
        return;
    if (!read.ok()) {
        // Whatever is there stays as the user has it: never replaced, never changed.
        const QString what = read.status == BoundedFileRead::Status::notRegular
            ? (QFileInfo(m_path).isDir() ? QStringLiteral("is a folder, not a file") : QStringLiteral("is not a file"))
            : read.status == BoundedFileRead::Status::tooLarge
            ? QStringLiteral("is too large to be preferences")
            : QStringLiteral("could not be read (%1)").arg(read.errorText);
        // The start reports it, once the user can be told.
        m_unusable = QStringLiteral("The preferences file %1 %2, so it is left as it is: settings changed now last "
                                    "only until Brindlewax quits.")
                         .arg(m_path, what);
        m_writeError = m_unusable;
        return;
    }
    const QByteArray &bytes = read.bytes;
    const auto object = parseObject(bytes);
    if (!object) {
        moveDamagedFileAside(m_path);
        return;
    }
    m_values = *object;
    MemberScanner(bytes).scan([this](const QString &key, const QByteArray &text) {
        // A key given twice is written once, from the value the parser kept.
        if (m_originalText.contains(key) || m_order.contains(key))
            m_originalText.remove(key);
        else
            m_originalText.insert(key, text);
        if (!m_order.contains(key))
            m_order << key;
    });
    for (auto it = m_values.begin(); it != m_values.end(); ++it)
        if (!m_order.contains(it.key()))
            m_order << it.key();
}

void Preferences::scheduleSave()
{
    m_dirty = true;
    if (m_saveScheduled)
        return;
    m_saveScheduled = true;
    // A burst of changes is written once.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_saveScheduled = false;
            if (m_dirty)
                save();
        },
        Qt::QueuedConnection);
}

bool Preferences::save()
{
    if (!m_unusable.isEmpty())
        return false;
    if (m_path.isEmpty()) {
        m_dirty = false;
        return true;
    }
    QByteArray text = "{";
    bool first = true;
    for (const QString &key : std::as_const(m_order)) {
        if (!m_values.contains(key))
            continue;
        text += first ? "\n    " : ",\n    ";
        first = false;
        const auto original = m_originalText.constFind(key);
        text += original != m_originalText.cend() ? *original : memberText(key, m_values.value(key));
    }
    text += first ? "}\n" : "\n}\n";

    QString error;
    ++m_writesTried;
    if (!writeFileAtomically(m_path, text, &error)) {
        // Retried with growing pauses and at every change; said once, not at every retry.
        if (error != m_writeError) {
            qCWarning(lcApp, "Could not write the preferences to %s; kept in memory and tried again later: %s",
                      qPrintable(m_path), qPrintable(error));
            m_writeError = error;
            Q_EMIT writeFailed(writeFailureNotice());
        }
        // A change's own attempt leaves a waiting retry where it is.
        if (!m_retry.isActive()) {
            m_retry.start(m_retryMs);
            m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
        }
        return false;
    }
    if (!m_writeError.isEmpty())
        qCInfo(lcApp, "The preferences are written again");
    m_writeError.clear();
    m_retry.stop();
    m_retryMs = kFirstRetryMs;
    m_dirty = false;
    return true;
}

void Preferences::checkWritable()
{
    if (m_path.isEmpty() || !m_unusable.isEmpty() || !m_writeError.isEmpty())
        return;
    inBackground(
        this,
        [path = m_path] {
            // A write's first step, undone: its temporary file, made beside the file and removed.
            const AtomicFile probe(path);
            return probe.errorString();
        },
        [this, tried = m_writesTried](const QString &error) {
            if (error.isEmpty() || tried != m_writesTried || !m_writeError.isEmpty())
                return;
            qCWarning(lcApp, "The preferences at %s cannot be written; changes are kept in memory: %s",
                      qPrintable(m_path), qPrintable(error));
            m_writeError = error;
            Q_EMIT writeFailed(writeFailureNotice());
        });
}

QString Preferences::writeFailureNotice() const
{
    if (m_writeError.isEmpty() || !m_unusable.isEmpty())
        return {};
    return QStringLiteral("Settings could not be saved: %1. Brindlewax keeps trying; changes it cannot save before it "
                          "quits are lost.")
        .arg(m_writeError);
}

void Preferences::forget(const QString &key)
{
    m_originalText.remove(key);
    m_decoded.remove(key);
}

QString Preferences::standardFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/orvantide/quillmere.json");
}

bool Preferences::contains(const QString &key) const
{
    return m_values.contains(key);
}

QVariant Preferences::value(const QString &key) const
{
    return fromJsonValue(m_values.value(key));
}

bool Preferences::boolValue(const QString &key, bool defaultValue) const
{
    const QVariant v = value(key);
    return v.typeId() == QMetaType::Bool ? v.toBool() : defaultValue;
}

qint64 Preferences::integer(const QString &key, qint64 defaultValue) const
{
    const QVariant v = value(key);
    if (!isNumber(v))
        return defaultValue;
    const double d = v.toDouble();
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
        return defaultValue;
    return static_cast<qint64>(d);
}

double Preferences::doubleValue(const QString &key, double defaultValue) const
{
    const QVariant v = value(key);
    return isNumber(v) ? v.toDouble() : defaultValue;
}

std::optional<QString> Preferences::string(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<QByteArray> Preferences::data(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v.toByteArray();
}

std::optional<QStringList> Preferences::stringList(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QStringList)
        return std::nullopt;
    return v.toStringList();
}

void Preferences::setValue(const QString &key, const QVariant &value)
{
    const QJsonValue json = toJsonValue(value);
    const auto existing = m_values.constFind(key);
    if (existing != m_values.constEnd() && *existing == json)
        return;
    if (existing == m_values.constEnd())
        m_order << key;
    m_values.insert(key, json);
    forget(key);
    scheduleSave();
    Q_EMIT changed(key);
}

void Preferences::remove(const QString &key)
{
    if (!m_values.contains(key))
        return;
    m_values.remove(key);
    m_order.removeAll(key);
    forget(key);
    scheduleSave();
    Q_EMIT changed(key);
}

bool Preferences::sync()
{
    return !m_dirty || save();
}

} // namespace quillmere
