#pragma once

#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <memory>
#include <optional>
#include <typeindex>

namespace quillmere {

// The user's preferences: one JSON file that keeps value types apart (a text is never read back
// as data, a number never as a flag). Typed reads give the default when the stored value has
// another type. The file is written only when a value changes, and then keeps every other value
// exactly as it found it, including ones this version does not know or cannot read.
class Preferences : public QObject {
    Q_OBJECT
public:
    // `filePath` empty: the standard file under the XDG config dir.
    explicit Preferences(const QString &filePath = {}, QObject *parent = nullptr);
    // Starts from the defaults and keeps every change in memory only, for a run that leaves the
    // user's own settings alone (a demo).
    struct InMemory {};
    explicit Preferences(InMemory, QObject *parent = nullptr);
    ~Preferences() override;

    static QString standardFilePath();

    bool contains(const QString &key) const;
    QVariant value(const QString &key) const;

    bool boolValue(const QString &key, bool defaultValue = false) const;
    // The flag under `key`, or the key's own default.
    bool get(const PreferenceKey<bool> &key) const { return boolValue(key, key.defaultValue); }
    qint64 integer(const QString &key, qint64 defaultValue = 0) const;
    double doubleValue(const QString &key, double defaultValue = 0) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;
    std::optional<QStringList> stringList(const QString &key) const;

    void setValue(const QString &key, const QVariant &value);
    void setBool(const QString &key, bool value) { setValue(key, value); }
    void setInteger(const QString &key, qint64 value) { setValue(key, value); }
    void setDouble(const QString &key, double value) { setValue(key, value); }
    void setString(const QString &key, const QString &value) { setValue(key, value); }
    void setData(const QString &key, const QByteArray &value) { setValue(key, value); }
    void remove(const QString &key);

    // Structured preferences: compact JSON data under a versioned key. A missing key, a value that
    // is not data, or data that does not decode as T all read as no value; nothing is logged.
    template <JsonCodable T> std::optional<T> decodeJSON(const QString &key) const
    {
        const auto bytes = data(key);
        if (!bytes)
            return std::nullopt;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(*bytes, &error);
        if (error.error != QJsonParseError::NoError)
            return std::nullopt;
        return T::fromJson(doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array()));
    }
    template <JsonCodable T> void setJSON(const T &value, const QString &key)
    {
        const QJsonValue json = value.toJson();
        if (!json.isObject() && !json.isArray())
            return;
        const QJsonDocument doc = json.isObject() ? QJsonDocument(json.toObject()) : QJsonDocument(json.toArray());
        setData(key, doc.toJson(QJsonDocument::Compact));
    }

    // The value decoded from `key` by `decode`, kept until the key changes, so that a large
    // structured preference is not decoded again at every use.
    template <typename T, typename Decode> std::shared_ptr<const T> cached(const QString &key, Decode decode) const
    {
        auto it = m_decoded.find(key);
        if (it == m_decoded.end() || it->type != std::type_index(typeid(T)))
            it = m_decoded.insert(key, {std::type_index(typeid(T)), std::make_shared<const T>(decode(*this))});
        return std::static_pointer_cast<const T>(it->value);
    }

    // Writes pending changes now; otherwise they are written once control returns to the event
    // loop, or at destruction. False when the file could not be written; the changes are then
    // kept and written again later, and the file keeps what it had.
    bool sync();
    // Finds out, off this thread, whether the file can be written before a change needs it: a
    // folder that takes no writes is told at the start (writeFailed), once, rather than at the
    // first change, which may come long after.
    void checkWritable();
    // Why the file does not hold every change, or would not take the next: the last write or
    // check failed, or what is at the path is not a preferences file (a folder, a FIFO, a file it
    // cannot read), so that nothing is written there this session. Empty once a write succeeds.
    QString lastWriteError() const { return m_writeError; }
    // Why nothing is written to the file this session; empty when it is a preferences file.
    QString unusableReason() const { return m_unusable; }
    // What the user is told while changes cannot be written to a preferences file (a folder that
    // takes no writes, a full disk); empty when the file holds every change or is unusable.
    QString writeFailureNotice() const;

    static constexpr int kFirstRetryMs = 2000;

Q_SIGNALS:
    void changed(const QString &key);
    // A write failed where the one before did not, or for another reason: once, not at each retry.
    void writeFailed(const QString &notice);

private:
    struct Decoded {
        std::type_index type;
        std::shared_ptr<const void> value;
    };

    void load();
    void scheduleSave();
    bool save();
    void forget(const QString &key);

    // Empty when kept in memory.
    QString m_path;
    QJsonObject m_values;
    // Keys in file order, and each member's text as the file had it while it stays unchanged.
    QStringList m_order;
    QHash<QString, QByteArray> m_originalText;
    bool m_dirty = false;
    bool m_saveScheduled = false;
    QString m_writeError;
    // Writes tried so far: a check that ends after one tells nothing the write did not.
    int m_writesTried = 0;
    // Set at the start when the path must be left alone.
    QString m_unusable;
    QTimer m_retry;
    int m_retryMs = kFirstRetryMs;
    mutable QHash<QString, Decoded> m_decoded;
};

} // namespace quillmere
