#include "Quillmere/Platform/DesktopEntries.h"

#include "Quillmere/Platform/Core/BoundedFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr qint64 maxDesktopFileBytes = 256 * 1024;
constexpr qint64 maxProcFileBytes = 64 * 1024;

std::optional<QByteArray> readBounded(const QString &path, qint64 limit)
{
    // A program can put a pipe or a terminal where its sandbox description is looked for, and
    // reading that would hang the main thread.
    BoundedFileRead read = readBoundedFile(path, limit);
    if (!read.ok())
        return std::nullopt;
    return std::move(read.bytes);
}

QString unescapeValue(const QString &raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != u'\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const QChar n = raw.at(++i);
        switch (n.unicode()) {
        case 's':
            out += u' ';
            break;
        case 'n':
            out += u'\n';
            break;
        case 't':
            out += u'\t';
            break;
        case 'r':
            out += u'\r';
            break;
        case '\\':
            out += u'\\';
            break;
        default:
            out += c;
            out += n;
            break;
        }
    }
    return out;
}

// Splits an Exec line into words: blanks separate, double quotes group, and inside quotes a
// backslash escapes the next character.
QStringList execWords(const QString &exec)
{
    QStringList words;
    QString current;
    bool inWord = false, quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == u'\\' && i + 1 < exec.size())
                current += exec.at(++i);
            else if (c == u'"')
                quoted = false;
            else
                current += c;
        } else if (c == u'"') {
            quoted = inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words << current;
            current.clear();
            inWord = false;
        } else {
            current += c;
            inWord = true;
        }
    }
    if (inWord)
        words << current;
    return words;
}

QString localeKey(const QHash<QString, QString> &values, const QString &key, const QString &locale)
{
    // lang_COUNTRY.ENCODING@MODIFIER: try lang_COUNTRY, then lang, then the plain key.
    QString loc = locale;
    loc = loc.section(u'@', 0, 0).section(u'.', 0, 0);
    if (!loc.isEmpty()) {
        if (auto it = values.find(key + u'[' + loc + u']'); it != values.end())
            return *it;
        const QString lang = loc.section(u'_', 0, 0);
        if (auto it = values.find(key + u'[' + lang + u']'); it != values.end())
            return *it;
    }
    return values.value(key);
}

bool isTrue(const QString &value)
{
    return value.trimmed() == QLatin1String("true");
}

} // namespace

DesktopEntries::DesktopEntries(QStringList dataDirs, QString procRoot)
    : m_dataDirs(std::move(dataDirs)), m_procRoot(std::move(procRoot))
{
}

QStringList DesktopEntries::standardDataDirs()
{
    QStringList dirs;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    dirs << (home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString &d : system.split(u':', Qt::SkipEmptyParts))
        if (!dirs.contains(d))
            dirs << d;
    return dirs;
}

std::optional<DesktopEntry> DesktopEntries::parse(const QByteArray &contents, const QString &id, const QString &locale)
{
    QHash<QString, QString> values;
    bool inMainGroup = false, sawMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (sawMainGroup && inMainGroup)
                break; // only the first group describes the application
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!values.contains(key))
            values.insert(key, unescapeValue(line.mid(eq + 1).trimmed()));
    }
    if (values.value(QStringLiteral("Type")) != QLatin1String("Application"))
        return std::nullopt;
    DesktopEntry entry;
    entry.id = id;
    entry.name = localeKey(values, QStringLiteral("Name"), locale);
    entry.iconName = values.value(QStringLiteral("Icon"));
    entry.exec = values.value(QStringLiteral("Exec"));
    entry.startupWMClass = values.value(QStringLiteral("StartupWMClass"));
    entry.noDisplay = isTrue(values.value(QStringLiteral("NoDisplay")));
    if (isTrue(values.value(QStringLiteral("Hidden"))))
        return std::nullopt;
    return entry;
}

QString DesktopEntries::execProgram(const QString &exec)
{
    QStringList words = execWords(exec);
    qsizetype i = 0;
    if (i < words.size() && QFileInfo(words.at(i)).fileName() == QLatin1String("env")) {
        ++i;
        while (i < words.size() && (words.at(i).contains(u'=') || words.at(i).startsWith(u'-')))
            ++i;
    }
    return i < words.size() ? words.at(i) : QString();
}

void DesktopEntries::reload()
{
    m_loaded = false;
    ensureLoaded();
}

void DesktopEntries::ensureLoaded() const
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_entries.clear();
    m_byID.clear();
    QSet<QString> seen; // an id found once hides the same id in later dirs, even a Hidden one
    const QString locale = QLocale::system().name();
    for (const QString &dataDir : m_dataDirs) {
        const QString appsDir = QDir(dataDir).filePath(QStringLiteral("applications"));
        if (!QFileInfo(appsDir).isDir())
            continue;
        QStringList files;
        QDirIterator it(appsDir, {QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext())
            files << it.next();
        files.sort(); // a stable order whatever the file system gives
        for (const QString &path : std::as_const(files)) {
            QString id = QDir(appsDir).relativeFilePath(path);
            id.chop(int(qstrlen(".desktop")));
            id.replace(u'/', u'-');
            if (seen.contains(id))
                continue;
            seen.insert(id);
            if (QFileInfo(path).size() > maxDesktopFileBytes)
                continue;
            const std::optional<QByteArray> data = readBounded(path, maxDesktopFileBytes);
            if (!data)
                continue;
            std::optional<DesktopEntry> entry = parse(*data, id, locale);
            if (!entry)
                continue;
            entry->filePath = path;
            m_byID.insert(id, int(m_entries.size()));
            m_entries.push_back(std::move(*entry));
        }
    }
}

const std::vector<DesktopEntry> &DesktopEntries::entries() const
{
    ensureLoaded();
    return m_entries;
}

std::optional<DesktopEntry> DesktopEntries::entry(const QString &id) const
{
    ensureLoaded();
    if (id.isEmpty())
        return std::nullopt;
    auto it = m_byID.constFind(id);
    if (it == m_byID.constEnd())
        return std::nullopt;
    return m_entries[size_t(*it)];
}

std::optional<DesktopEntry> DesktopEntries::identify(const WindowIdentity &window) const
{
    ensureLoaded();
    if (auto e = bySandbox(window.pid))
        return e;
    if (auto e = byWindowClass(window))
        return e;
    return byExecutable(window);
}

std::optional<DesktopEntry> DesktopEntries::bySandbox(qint64 pid) const
{
    if (pid <= 0)
        return std::nullopt;
    const QString procDir = m_procRoot + u'/' + QString::number(pid);

    // Flatpak: the sandbox's own description names the application.
    if (auto info = readBounded(procDir + QStringLiteral("/root/.flatpak-info"), maxProcFileBytes)) {
        bool inApplication = false;
        for (const QByteArray &raw : info->split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.startsWith(u'['))
                inApplication = line == QLatin1String("[Application]");
            else if (inApplication && line.startsWith(QLatin1String("name=")))
                if (auto e = entry(line.mid(5).trimmed()))
                    return e;
        }
    }

    const std::optional<QByteArray> cgroup = readBounded(procDir + QStringLiteral("/cgroup"), maxProcFileBytes);
    if (!cgroup)
        return std::nullopt;
    const QString groups = QString::fromUtf8(*cgroup);

    static const QRegularExpression flatpakScope(QStringLiteral(R"(app-flatpak-([A-Za-z0-9_.\-]+?)-\d+\.scope)"));
    if (auto m = flatpakScope.match(groups); m.hasMatch())
        if (auto e = entry(m.captured(1)))
            return e;

    // Snap: "snap.<snap>.<app>" followed by a unique suffix; desktop ids are "<snap>_<app>".
    static const QRegularExpression snapScope(
        QStringLiteral(R"(snap\.([a-z0-9][a-z0-9\-]*)\.([A-Za-z0-9\-.]+)\.scope)"));
    if (auto m = snapScope.match(groups); m.hasMatch()) {
        const QString snap = m.captured(1), rest = m.captured(2);
        const DesktopEntry *best = nullptr;
        for (const DesktopEntry &e : m_entries) {
            if (!e.id.startsWith(snap + u'_'))
                continue;
            const QString app = e.id.mid(snap.size() + 1);
            const bool fits = rest == app || rest.startsWith(app + u'-') || rest.startsWith(app + u'.');
            if (fits && (!best || app.size() > best->id.size() - snap.size() - 1))
                best = &e;
        }
        if (best)
            return *best;
    }
    return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntries::byWindowClass(const WindowIdentity &window) const
{
    const QStringList classes = QStringList{window.wmClassName, window.wmClassInstance};
    if (window.wmClassName.isEmpty() && window.wmClassInstance.isEmpty())
        return std::nullopt;

    auto matches = [&](const QString &value, Qt::CaseSensitivity cs) {
        if (value.isEmpty())
            return false;
        for (const QString &c : classes)
            if (!c.isEmpty() && value.compare(c, cs) == 0)
                return true;
        return false;
    };
    // Each rule is tried on visible entries before hidden helpers.
    const std::vector<std::function<bool(const DesktopEntry &)>> rules{
        [&](const DesktopEntry &e) { return matches(e.startupWMClass, Qt::CaseSensitive); },
        [&](const DesktopEntry &e) { return matches(e.startupWMClass, Qt::CaseInsensitive); },
        [&](const DesktopEntry &e) { return matches(e.id, Qt::CaseInsensitive); },
        [&](const DesktopEntry &e) {
            return e.id.contains(u'.') && matches(e.id.section(u'.', -1), Qt::CaseInsensitive);
        },
    };
    for (const auto &rule : rules)
        for (bool hidden : {false, true})
            for (const DesktopEntry &e : m_entries)
                if (e.noDisplay == hidden && rule(e))
                    return e;
    return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntries::byExecutable(const WindowIdentity &window) const
{
    QString exe = window.executablePath;
    if (exe.isEmpty() && window.pid > 0)
        exe = QFileInfo(m_procRoot + u'/' + QString::number(window.pid) + QStringLiteral("/exe")).symLinkTarget();
    if (exe.endsWith(QLatin1String(" (deleted)")))
        exe.chop(10); // the binary was replaced by an update while running
    if (exe.isEmpty())
        return std::nullopt;
    const QString exeName = QFileInfo(exe).fileName();

    std::vector<const DesktopEntry *> byPath, byName;
    for (const DesktopEntry &e : m_entries) {
        const QString program = execProgram(e.exec);
        if (program.isEmpty())
            continue;
        if (QFileInfo(program).isAbsolute()) {
            const QString canonical = QFileInfo(program).canonicalFilePath();
            if (program == exe || (!canonical.isEmpty() && canonical == exe))
                byPath.push_back(&e);
        } else if (program == exeName) {
            byName.push_back(&e);
        }
    }
    // Several entries starting one program (an interpreter, a launcher) name no application.
    auto single = [](const std::vector<const DesktopEntry *> &found) -> std::optional<DesktopEntry> {
        std::vector<const DesktopEntry *> visible;
        for (const DesktopEntry *e : found)
            if (!e->noDisplay)
                visible.push_back(e);
        const auto &pool = visible.empty() ? found : visible;
        if (pool.size() == 1)
            return *pool.front();
        return std::nullopt;
    };
    if (!byPath.empty())
        return single(byPath);
    return single(byName);
}

QIcon DesktopEntries::icon(const DesktopEntry &entry) const
{
    const QString name = entry.iconName;
    if (name.isEmpty())
        return {};
    if (QFileInfo(name).isAbsolute())
        return QFileInfo::exists(name) ? QIcon(name) : QIcon();
    QString themeName = name;
    for (const char *ext : {".png", ".svg", ".xpm"})
        if (themeName.endsWith(QLatin1String(ext)))
            themeName.chop(4);
    QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull())
        return themed;
    // No theme (a bare X session): the hicolor fallback and the pixmaps dirs of our data dirs.
    static const char *sizes[] = {"scalable", "512x512", "256x256", "128x128", "96x96", "64x64", "48x48", "32x32"};
    for (const QString &dataDir : m_dataDirs) {
        for (const char *size : sizes)
            for (const char *ext : {".svg", ".png"}) {
                const QString path = dataDir + QStringLiteral("/icons/hicolor/") + QLatin1String(size)
                    + QStringLiteral("/apps/") + themeName + QLatin1String(ext);
                if (QFileInfo::exists(path))
                    return QIcon(path);
            }
        for (const char *ext : {".png", ".svg", ".xpm"}) {
            const QString path = dataDir + QStringLiteral("/pixmaps/") + themeName + QLatin1String(ext);
            if (QFileInfo::exists(path))
                return QIcon(path);
        }
    }
    return {};
}

FrontApplicationSource identifiedFrontApplications(std::shared_ptr<const DesktopEntries> entries,
                                                   FrontApplicationSource windows)
{
    return [entries = std::move(entries), windows = std::move(windows)]() -> std::optional<FrontApplication> {
        std::optional<FrontApplication> app = windows ? windows() : std::nullopt;
        if (!app || !entries)
            return app;
        const std::optional<DesktopEntry> entry =
            entries->identify(WindowIdentity{app->pid, app->wmClassInstance, app->wmClassName, QString()});
        if (entry) {
            app->desktopFileId = entry->id;
            if (!entry->name.isEmpty())
                app->name = entry->name;
        }
        return app;
    };
}

} // namespace quillmere
