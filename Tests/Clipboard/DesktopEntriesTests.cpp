#include "Quillmere/Platform/DesktopEntries.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;

namespace {

// A home data dir, a system data dir and a fake /proc, all in a temporary folder.
struct Desktop {
    QTemporaryDir dir;
    QString home = dir.filePath(QStringLiteral("home"));
    QString system = dir.filePath(QStringLiteral("system"));
    QString proc = dir.filePath(QStringLiteral("proc"));

    void write(const QString &path, const QByteArray &contents)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(contents);
    }
    void app(const QString &dataDir, const QString &relative, const QByteArray &body)
    {
        write(dataDir + QStringLiteral("/applications/") + relative, "[Desktop Entry]\nType=Application\n" + body);
    }
    void icon(const QString &path, QColor colour)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QImage img(48, 48, QImage::Format_ARGB32);
        img.fill(colour);
        ASSERT_TRUE(img.save(path));
    }
    void process(qint64 pid, const QString &file, const QByteArray &contents)
    {
        write(proc + u'/' + QString::number(pid) + u'/' + file, contents);
    }
    DesktopEntries entries() { return DesktopEntries({home, system}, proc); }
};

QString idOf(const std::optional<DesktopEntry> &e)
{
    return e ? e->id : QStringLiteral("<none>");
}

} // namespace

TEST(DesktopEntryParsing, ReadsTheMainGroupWithLocalesAndEscapes)
{
    const QByteArray file = "# comment\n"
                            "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Text Editor\n"
                            "Name[de]=Texteditor\n"
                            "Name[de_AT]=Texteditor (AT)\n"
                            "Icon = org.example.editor\n"
                            "Exec=env GTK_THEME=dark \"/opt/My Editor/bin/edit\" --new %F\n"
                            "Comment=two\\slines\\nhere\n"
                            "[Desktop Action new]\n"
                            "Name=New Window\n"
                            "Exec=other\n";
    auto e = DesktopEntries::parse(file, QStringLiteral("org.example.Editor"), QStringLiteral("de_CH.UTF-8"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, QStringLiteral("Texteditor"));
    EXPECT_EQ(e->iconName, QStringLiteral("org.example.editor"));
    EXPECT_EQ(DesktopEntries::execProgram(e->exec), QStringLiteral("/opt/My Editor/bin/edit"));
    EXPECT_EQ(DesktopEntries::parse(file, QStringLiteral("x"), QStringLiteral("de_AT"))->name,
              QStringLiteral("Texteditor (AT)"));
    EXPECT_EQ(DesktopEntries::parse(file, QStringLiteral("x"), QStringLiteral("fr_FR"))->name, QStringLiteral("Text Editor"));

    EXPECT_FALSE(DesktopEntries::parse("[Desktop Entry]\nType=Link\nName=Site\n", QStringLiteral("l")));
    EXPECT_FALSE(DesktopEntries::parse("[Desktop Entry]\nName=No type\n", QStringLiteral("n")));
    EXPECT_FALSE(DesktopEntries::parse("[Desktop Entry]\nType=Application\nHidden=true\n", QStringLiteral("h")));
    // Keys of other groups never leak into the application.
    EXPECT_FALSE(DesktopEntries::parse("[Other]\nType=Application\n", QStringLiteral("o")));
    EXPECT_EQ(DesktopEntries::execProgram(QStringLiteral("  ")), QString());
    EXPECT_EQ(DesktopEntries::execProgram(QStringLiteral("env")), QString());
    EXPECT_EQ(DesktopEntries::execProgram(QStringLiteral("/usr/bin/env A=1 B=2 gimp %U")), QStringLiteral("gimp"));
}

TEST(DesktopEntryLookup, IdsFollowTheDataDirsInOrder)
{
    Desktop d;
    d.app(d.home, QStringLiteral("org.example.Editor.desktop"), "Name=Editor (mine)\n");
    d.app(d.system, QStringLiteral("org.example.Editor.desktop"), "Name=Editor\n");
    d.app(d.system, QStringLiteral("kde/konsole.desktop"), "Name=Konsole\n");
    d.write(d.home + QStringLiteral("/applications/gone.desktop"), "[Desktop Entry]\nType=Application\nHidden=true\n");
    d.app(d.system, QStringLiteral("gone.desktop"), "Name=Gone\n");
    d.write(d.system + QStringLiteral("/applications/huge.desktop"),
            "[Desktop Entry]\nType=Application\nName=Huge\nComment=" + QByteArray(300 * 1024, 'x') + "\n");
    DesktopEntries entries = d.entries();

    EXPECT_EQ(entries.entry(QStringLiteral("org.example.Editor"))->name, QStringLiteral("Editor (mine)"));
    EXPECT_EQ(entries.entry(QStringLiteral("kde-konsole"))->name, QStringLiteral("Konsole"));
    EXPECT_FALSE(entries.entry(QStringLiteral("gone")));  // hidden in the home dir hides it everywhere
    EXPECT_FALSE(entries.entry(QStringLiteral("huge")));  // not read at all
    EXPECT_FALSE(entries.entry(QStringLiteral("org.example.editor"))); // ids are case-sensitive
    EXPECT_FALSE(entries.entry(QString()));
    EXPECT_EQ(entries.entries().size(), 2u);

    d.app(d.system, QStringLiteral("later.desktop"), "Name=Later\n");
    EXPECT_FALSE(entries.entry(QStringLiteral("later")));
    entries.reload();
    EXPECT_TRUE(entries.entry(QStringLiteral("later")));
}

TEST(DesktopEntryLookup, WindowsAreMatchedToTheirApplications)
{
    Desktop d;
    d.app(d.system, QStringLiteral("firefox-esr.desktop"), "Name=Firefox ESR\nExec=/usr/lib/firefox-esr/firefox-esr %u\n");
    d.app(d.system, QStringLiteral("org.mozilla.firefox.desktop"),
          "Name=Firefox (Flatpak)\nExec=/usr/bin/flatpak run --branch=stable --command=firefox org.mozilla.firefox\n");
    d.app(d.system, QStringLiteral("firefox_firefox.desktop"), "Name=Firefox (Snap)\nExec=/snap/bin/firefox %u\n");
    d.app(d.system, QStringLiteral("firefox_geckodriver.desktop"), "Name=Driver\nNoDisplay=true\nExec=x\n");
    d.app(d.system, QStringLiteral("a-helper.desktop"),
          "Name=Helper\nNoDisplay=true\nStartupWMClass=ExampleEditor\nExec=/opt/editor/helper\n");
    d.app(d.system, QStringLiteral("org.example.Editor.desktop"),
          "Name=Editor\nStartupWMClass=ExampleEditor\nExec=env EDITOR_MODE=1 /opt/editor/bin/editor %F\n");
    d.app(d.system, QStringLiteral("tool-a.desktop"), "Name=Tool A\nExec=python3 /opt/a.py\n");
    d.app(d.system, QStringLiteral("tool-b.desktop"), "Name=Tool B\nExec=python3 /opt/b.py\n");
    d.app(d.system, QStringLiteral("calc.desktop"), "Name=Calculator\nExec=gnome-calculator\n");
    const DesktopEntries entries = d.entries();
    auto window = [](qint64 pid, const char *instance, const char *cls, const char *exe = "") {
        return WindowIdentity{pid, QString::fromLatin1(instance), QString::fromLatin1(cls), QString::fromLatin1(exe)};
    };

    // Sandboxes name their application, whatever the window class says.
    d.process(100, QStringLiteral("root/.flatpak-info"), "[Application]\nname=org.mozilla.firefox\nruntime=x\n");
    EXPECT_EQ(idOf(entries.identify(window(100, "firefox-esr", "firefox-esr"))), QStringLiteral("org.mozilla.firefox"));
    d.process(101, QStringLiteral("cgroup"),
              "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-flatpak-org.mozilla.firefox-4242.scope\n");
    EXPECT_EQ(idOf(entries.identify(window(101, "Navigator", "firefox"))), QStringLiteral("org.mozilla.firefox"));
    d.process(102, QStringLiteral("cgroup"), "0::/user.slice/user-1000.slice/snap.firefox.firefox-2c5e0c1a.scope\n");
    EXPECT_EQ(idOf(entries.identify(window(102, "Navigator", "firefox"))), QStringLiteral("firefox_firefox"));

    // Window class: StartupWMClass first (visible entries before hidden helpers), then the id,
    // then the last part of a reverse-domain id.
    EXPECT_EQ(idOf(entries.identify(window(0, "editor", "ExampleEditor"))), QStringLiteral("org.example.Editor"));
    EXPECT_EQ(idOf(entries.identify(window(0, "editor", "exampleeditor"))), QStringLiteral("org.example.Editor"));
    EXPECT_EQ(idOf(entries.identify(window(0, "Navigator", "Firefox-esr"))), QStringLiteral("firefox-esr"));
    EXPECT_EQ(idOf(entries.identify(window(0, "Navigator", "Firefox"))), QStringLiteral("org.mozilla.firefox"));

    // The executable: a full path, a path behind env, a bare program name; never a guess
    // between several entries running the same interpreter.
    EXPECT_EQ(idOf(entries.identify(window(0, "x", "Unknown", "/usr/lib/firefox-esr/firefox-esr"))),
              QStringLiteral("firefox-esr"));
    EXPECT_EQ(idOf(entries.identify(window(0, "x", "Unknown", "/opt/editor/bin/editor (deleted)"))),
              QStringLiteral("org.example.Editor"));
    EXPECT_EQ(idOf(entries.identify(window(0, "", "", "/usr/bin/gnome-calculator"))), QStringLiteral("calc"));
    EXPECT_EQ(idOf(entries.identify(window(0, "", "", "/usr/bin/python3"))), QStringLiteral("<none>"));
    ASSERT_TRUE(QDir().mkpath(d.proc + QStringLiteral("/103")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/usr/lib/firefox-esr/firefox-esr"), d.proc + QStringLiteral("/103/exe")));
    EXPECT_EQ(idOf(entries.identify(window(103, "", ""))), QStringLiteral("firefox-esr"));

    EXPECT_EQ(idOf(entries.identify(window(999, "unknown", "Unknown"))), QStringLiteral("<none>"));
}

TEST(DesktopEntryLookup, APipeForASandboxDescriptionIsNotWaitedOn)
{
    Desktop d;
    d.app(d.system, QStringLiteral("org.example.Editor.desktop"), "Name=Editor\nStartupWMClass=ExampleEditor\n");
    const DesktopEntries entries = d.entries();
    const QString fifo = d.proc + QStringLiteral("/104/root/.flatpak-info");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(fifo).absolutePath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    auto found = std::async(std::launch::async, [&] {
        return idOf(entries.identify(WindowIdentity{104, QStringLiteral("editor"), QStringLiteral("ExampleEditor"), {}}));
    });
    const bool finished = found.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!finished) {
        // Let the stuck reader go before failing.
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        ::close(writer);
    }
    ASSERT_TRUE(finished) << "identify() waited on the pipe";
    EXPECT_EQ(found.get(), QStringLiteral("org.example.Editor"));
}

TEST(DesktopEntryLookup, IconsComeFromPathsAndTheHicolorFallback)
{
    Desktop d;
    const QString absolute = d.dir.filePath(QStringLiteral("art/editor.png"));
    d.icon(absolute, Qt::red);
    d.icon(d.system + QStringLiteral("/icons/hicolor/48x48/apps/quillmere-test-viewer.png"), Qt::blue);
    d.icon(d.system + QStringLiteral("/pixmaps/quillmere-test-old.png"), Qt::green);
    d.app(d.system, QStringLiteral("editor.desktop"), "Name=Editor\nIcon=" + absolute.toUtf8() + "\n");
    d.app(d.system, QStringLiteral("viewer.desktop"), "Name=Viewer\nIcon=quillmere-test-viewer\n");
    d.app(d.system, QStringLiteral("old.desktop"), "Name=Old\nIcon=quillmere-test-old.png\n");
    d.app(d.system, QStringLiteral("bare.desktop"), "Name=Bare\nIcon=quillmere-test-nowhere\n");
    d.app(d.system, QStringLiteral("moved.desktop"), "Name=Moved\nIcon=/nonexistent/icon.png\n");
    const DesktopEntries entries = d.entries();
    auto colourOf = [&](const char *id) {
        const QIcon icon = entries.icon(*entries.entry(QString::fromLatin1(id)));
        return icon.isNull() ? QColor() : icon.pixmap(16, 16).toImage().pixelColor(8, 8);
    };
    EXPECT_EQ(colourOf("editor"), QColor(Qt::red));
    EXPECT_EQ(colourOf("viewer"), QColor(Qt::blue));
    EXPECT_EQ(colourOf("old"), QColor(Qt::green));
    EXPECT_FALSE(colourOf("bare").isValid());
    EXPECT_FALSE(colourOf("moved").isValid());
}

TEST(DesktopEntryLookup, FrontApplicationsTakeTheEntrysIdentity)
{
    Desktop d;
    d.app(d.system, QStringLiteral("org.example.Editor.desktop"), "Name=Example Editor\nStartupWMClass=ExampleEditor\n");
    auto entries = std::make_shared<DesktopEntries>(d.entries());
    FrontApplication window;
    window.name = QStringLiteral("ExampleEditor");
    window.desktopFileId = QStringLiteral("exampleeditor");
    window.wmClassInstance = QStringLiteral("editor");
    window.wmClassName = QStringLiteral("ExampleEditor");
    auto source = identifiedFrontApplications(entries, [&]() -> std::optional<FrontApplication> { return window; });
    auto app = source();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->desktopFileId, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(app->name, QStringLiteral("Example Editor"));

    // No entry: the window system's own guesses stay.
    window.wmClassName = window.wmClassInstance = QStringLiteral("Other");
    app = source();
    EXPECT_EQ(app->desktopFileId, QStringLiteral("exampleeditor"));
    EXPECT_FALSE(identifiedFrontApplications(entries, [] { return std::optional<FrontApplication>(); })());
}
