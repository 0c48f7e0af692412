#include "Quillmere/Settings/Core/LoginItem.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>

namespace quillmere {
namespace {

// Big enough for any entry we write; a larger file is not ours to parse.
constexpr qint64 kMaxEntryBytes = 64 * 1024;

bool isTrue(const QByteArray &value)
{
    return value.toLower() == "true";
}

} // namespace

LoginItem::LoginItem(QString autostartDir, QString executable)
    : m_dir(std::move(autostartDir)), m_executable(std::move(executable))
{
    if (m_dir.isEmpty())
        m_dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart");
    if (m_executable.isEmpty()) {
        m_executable = QCoreApplication::applicationFilePath();
        // The program proper runs under the command people start, which sits beside it.
        if (m_executable.endsWith(QLatin1String("/quillmere-app")) && QFileInfo::exists(m_executable.chopped(4)))
            m_executable.chop(4);
    }
}

QString LoginItem::filePath() const
{
    return QDir(m_dir).filePath(fileName);
}

LoginItem::Status LoginItem::status() const
{
    QFile file(filePath());
    if (file.size() > kMaxEntryBytes || !file.open(QIODevice::ReadOnly))
        return Status::notRegistered;
    bool inEntry = false, application = false, hasExec = false;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!inEntry || eq <= 0)
            continue;
        const QByteArray key = line.left(eq).trimmed(), value = line.mid(eq + 1).trimmed();
        if (key == "Type")
            application = value == "Application";
        else if (key == "Exec")
            hasExec = !value.isEmpty();
        else if ((key == "Hidden" && isTrue(value)) || (key == "X-GNOME-Autostart-enabled" && !isTrue(value)))
            return Status::notRegistered;
    }
    return application && hasExec ? Status::enabled : Status::notRegistered;
}

std::optional<QString> LoginItem::registerItem()
{
    if (!makePrivatePath(m_dir))
        return QStringLiteral("The folder %1 could not be created.").arg(m_dir);
    const QByteArray exec = "Exec=" + quotedExecArgument(m_executable).toUtf8() + '\n';
    const QByteArray text =
        "[Desktop Entry]\nType=Application\nName=Brindlewax\nComment=Clipboard history in the tray\n" + exec
        + "Terminal=false\nX-GNOME-Autostart-enabled=true\n";
    QString error;
    if (!writeFileAtomically(filePath(), text, &error))
        return error;
    return std::nullopt;
}

std::optional<QString> LoginItem::unregisterItem()
{
    QFile file(filePath());
    if (!file.exists() || file.remove())
        return std::nullopt;
    return file.errorString();
}

QString LoginItem::quotedExecArgument(const QString &argument)
{
    // Field codes start with %, so a literal one is doubled whether quoted or not.
    QString escaped = argument;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes = std::any_of(escaped.begin(), escaped.end(), [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes)
        return escaped;
    QString quoted;
    for (QChar c : escaped) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    // Inside the key's value a backslash is itself escaped once more.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace quillmere
