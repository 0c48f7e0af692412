#include "Quillmere/Platform/Core/Preferences.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <cmath>

namespace quillmere {
namespace {

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

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QByteArray bytes = device.readAll();
    if (bytes.trimmed().isEmpty())
        return true;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it)
        map.insert(it.key(), fromJsonValue(it.value()));
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject root;
    for (auto it = map.begin(); it != map.end(); ++it)
        root.insert(it.key(), toJsonValue(it.value()));
    return device.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return format;
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

// The settings layer would silently replace an unreadable file with the values it could read
// (none); keep the user's file for recovery and start from defaults instead.
void moveDamagedFileAside(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QSettings::SettingsMap ignored;
    if (readJson(file, ignored))
        return;
    file.close();
    const QString aside = path + QStringLiteral(".damaged-")
                          + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (QFile::rename(path, aside))
        qCWarning(lcApp, "The preferences file could not be read; moved it to %s and started from defaults",
                  qPrintable(aside));
    else
        qCWarning(lcApp, "The preferences file could not be read nor moved aside: %s", qPrintable(path));
}

} // namespace

Preferences::Preferences(const QString &filePath, QObject *parent) : QObject(parent)
{
    const QString path = filePath.isEmpty() ? standardFilePath() : filePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    moveDamagedFileAside(path);
    m_settings = std::make_unique<QSettings>(path, jsonFormat());
}

Preferences::~Preferences()
{
    m_settings->sync();
}

Preferences &Preferences::standard()
{
    static Preferences prefs;
    return prefs;
}

QString Preferences::standardFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/orvantide/quillmere.json");
}

bool Preferences::contains(const QString &key) const
{
    return m_settings->contains(key);
}

QVariant Preferences::value(const QString &key) const
{
    return m_settings->value(key);
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
    m_settings->setValue(key, value);
    Q_EMIT changed(key);
}

void Preferences::remove(const QString &key)
{
    if (!m_settings->contains(key))
        return;
    m_settings->remove(key);
    Q_EMIT changed(key);
}

void Preferences::sync()
{
    m_settings->sync();
}

} // namespace quillmere
