#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QUuid>
#include <concepts>
#include <optional>

namespace quillmere {

// A value that has a JSON form: encodes to a QJsonValue and decodes strictly (missing or mistyped
// required fields give no value).
template <typename T>
concept JsonCodable = requires(const T &value, const QJsonValue &json)
{
    {
        value.toJson()
        } -> std::convertible_to<QJsonValue>;
    {
        T::fromJson(json)
        } -> std::same_as<std::optional<T>>;
};

// Reads the fields of one JSON object strictly. Every failed read clears ok(); callers read all
// fields and check ok() once.
class JsonFields {
public:
    explicit JsonFields(const QJsonValue &value) : m_object(value.toObject()), m_ok(value.isObject()) {}

    bool ok() const { return m_ok; }
    bool has(const QString &key) const { return m_object.contains(key) && !m_object.value(key).isNull(); }
    const QJsonObject &object() const { return m_object; }

    QString string(const QString &key)
    {
        const QJsonValue v = m_object.value(key);
        if (!v.isString()) {
            m_ok = false;
            return {};
        }
        return v.toString();
    }
    // Absent or null gives no value; any other non-text fails the read.
    std::optional<QString> optionalString(const QString &key)
    {
        if (!has(key))
            return std::nullopt;
        return string(key);
    }
    bool boolean(const QString &key)
    {
        const QJsonValue v = m_object.value(key);
        if (!v.isBool()) {
            m_ok = false;
            return false;
        }
        return v.toBool();
    }
    double number(const QString &key)
    {
        const QJsonValue v = m_object.value(key);
        if (!v.isDouble()) {
            m_ok = false;
            return 0;
        }
        return v.toDouble();
    }
    qint64 integer(const QString &key)
    {
        const double d = number(key);
        // Out-of-range doubles must not reach the cast.
        if (!(d >= -9.2e18 && d <= 9.2e18) || d != static_cast<double>(static_cast<qint64>(d))) {
            m_ok = false;
            return 0;
        }
        return static_cast<qint64>(d);
    }
    QStringList stringArray(const QString &key)
    {
        const QJsonValue v = m_object.value(key);
        if (!v.isArray()) {
            m_ok = false;
            return {};
        }
        QStringList out;
        for (const QJsonValue &e : v.toArray()) {
            if (!e.isString()) {
                m_ok = false;
                return {};
            }
            out << e.toString();
        }
        return out;
    }
    QJsonArray array(const QString &key)
    {
        const QJsonValue v = m_object.value(key);
        if (!v.isArray()) {
            m_ok = false;
            return {};
        }
        return v.toArray();
    }
    QUuid uuid(const QString &key)
    {
        const QUuid id = QUuid::fromString(string(key));
        if (id.isNull())
            m_ok = false;
        return id;
    }
    void fail() { m_ok = false; }

private:
    QJsonObject m_object;
    bool m_ok;
};

inline QJsonArray toJsonArray(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

// Upper-case, hyphenated, no braces: the canonical text of an identifier.
inline QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

} // namespace quillmere
