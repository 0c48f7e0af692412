#include "Quillmere/Platform/DesktopEntries.h"

#include "Support/DisplayTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

// A home data dir, a system data dir and a fake /proc, all in a temporary folder.
struct Desktop {
    QTemporaryDir dir;
    QString home = dir.filePath(u"home"_s);
    QString system = dir.filePath(u"system"_s);
    QString proc = dir.filePath(u"proc"_s);

    static void write(const QString &path, const QByteArray &contents)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(contents);
    }
    void app(const QString &dataDir, const QString &relative, const QByteArray &body)
    {
        write(dataDir + u"/applications/"_s + relative, "[Desktop Entry]\nType=Application\n" + body);
    }
    static void icon(const QString &path, QColor colour)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(test::filled(48, 48, colour).save(path));
    }
    void process(qint64 pid, const QString &file, const QByteArray &contents)
    {
        write(proc + u'/' + QString::number(pid) + u'/' + file, contents);
    }
    DesktopEntries entries() { return DesktopEntries({home, system}, proc); }
};

QString idOf(const std::optional<DesktopEntry> &e)
{
    return e ? e->id : u"<none>"_s;
}

} // namespace

TEST(DesktopEntryParsing, ReadsTheMainGroupWithLocales)
{
    const QByteArray file = "# comment\n"
                            "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Text Editor\n"
                            "Name[de]=Texteditor\n"
                            "Name[de_AT]=Texteditor (AT)\n"
                            "Icon = org.example.editor\n"
                            "Exec=env GTK_THEME=dark \"/opt/My Editor/bin/edit\" --new %F\n"
                            "[Desktop Action new]\n"
                            "Name=New Window\n";
    auto e = DesktopEntries::parse(file, u"org.example.Editor"_s, u"de_CH.UTF-8"_s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, u"Texteditor"_s);
    EXPECT_EQ(e->iconName, u"org.example.editor"_s);
    EXPECT_EQ(DesktopEntries::execProgram(e->exec), u"/opt/My Editor/bin/edit"_s);
    EXPECT_EQ(DesktopEntries::parse(file, u"x"_s, u"de_AT"_s)->name, u"Texteditor (AT)"_s);
    EXPECT_EQ(DesktopEntries::parse(file, u"x"_s, u"fr_FR"_s)->name, u"Text Editor"_s);

    for (const char *notAnApp : {"[Desktop Entry]\nType=Link\nName=Site\n", "[Desktop Entry]\nName=No type\n",
                                 "[Desktop Entry]\nType=Application\nHidden=true\n", "[Other]\nType=Application\n"})
        EXPECT_FALSE(DesktopEntries::parse(notAnApp, u"n"_s)) << notAnApp;
    EXPECT_EQ(DesktopEntries::execProgram(u"  "_s), QString());
    EXPECT_EQ(DesktopEntries::execProgram(u"env"_s), QString());
    EXPECT_EQ(DesktopEntries::execProgram(u"/usr/bin/env A=1 B=2 gimp %U"_s), u"gimp"_s);
}

TEST(DesktopEntryLookup, IdsFollowTheDataDirsInOrder)
{
    Desktop d;
    d.app(d.home, u"org.example.Editor.desktop"_s, "Name=Editor (mine)\n");
    d.app(d.system, u"org.example.Editor.desktop"_s, "Name=Editor\n");
    d.app(d.system, u"kde/konsole.desktop"_s, "Name=Konsole\n");
    d.app(d.home, u"gone.desktop"_s, "Hidden=true\n");
    d.app(d.system, u"gone.desktop"_s, "Name=Gone\n");
    d.app(d.system, u"huge.desktop"_s, "Name=Huge\nComment=" + QByteArray(300 * 1024, 'x') + "\n");
    DesktopEntries entries = d.entries();

    EXPECT_EQ(entries.entry(u"org.example.Editor"_s)->name, u"Editor (mine)"_s);
    EXPECT_EQ(entries.entry(u"kde-konsole"_s)->name, u"Konsole"_s);
    EXPECT_FALSE(entries.entry(u"gone"_s));               // hidden in the home dir hides it everywhere
    EXPECT_FALSE(entries.entry(u"huge"_s));               // not read at all
    EXPECT_FALSE(entries.entry(u"org.example.editor"_s)); // ids are case-sensitive
    EXPECT_FALSE(entries.entry(QString()));
    EXPECT_EQ(entries.entries().size(), 2u);

    d.app(d.system, u"later.desktop"_s, "Name=Later\n");
    EXPECT_FALSE(entries.entry(u"later"_s));
    entries.reload();
    EXPECT_TRUE(entries.entry(u"later"_s));
}

TEST(DesktopEntryLookup, WindowsAreMatchedToTheirApplications)
{
    Desktop d;
    d.app(d.system, u"firefox-esr.desktop"_s, "Name=Firefox ESR\nExec=/usr/lib/firefox-esr/firefox-esr %u\n");
    d.app(d.system, u"org.mozilla.firefox.desktop"_s,
          "Name=Firefox (Flatpak)\nExec=/usr/bin/flatpak run --branch=stable --command=firefox org.mozilla.firefox\n");
    d.app(d.system, u"firefox_firefox.desktop"_s, "Name=Firefox (Snap)\nExec=/snap/bin/firefox %u\n");
    d.app(d.system, u"firefox_geckodriver.desktop"_s, "Name=Driver\nNoDisplay=true\nExec=x\n");
    d.app(d.system, u"a-helper.desktop"_s,
          "Name=Helper\nNoDisplay=true\nStartupWMClass=ExampleEditor\nExec=/opt/editor/helper\n");
    d.app(d.system, u"org.example.Editor.desktop"_s,
          "Name=Editor\nStartupWMClass=ExampleEditor\nExec=env EDITOR_MODE=1 /opt/editor/bin/editor %F\n");
    d.app(d.system, u"tool-a.desktop"_s, "Name=Tool A\nExec=python3 /opt/a.py\n");
    d.app(d.system, u"tool-b.desktop"_s, "Name=Tool B\nExec=python3 /opt/b.py\n");
    d.app(d.system, u"calc.desktop"_s, "Name=Calculator\nExec=gnome-calculator\n");
    const DesktopEntries entries = d.entries();
    auto identify = [&](qint64 pid, const char *instance, const char *cls, const char *exe = "") {
        return idOf(entries.identify(
            WindowIdentity{pid, QString::fromLatin1(instance), QString::fromLatin1(cls), QString::fromLatin1(exe)}));
    };

    // Sandboxes name their application, whatever the window class says.
    d.process(100, u"root/.flatpak-info"_s, "[Application]\nname=org.mozilla.firefox\nruntime=x\n");
    EXPECT_EQ(identify(100, "firefox-esr", "firefox-esr"), u"org.mozilla.firefox"_s);
    d.process(
        101, u"cgroup"_s,
        "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-flatpak-org.mozilla.firefox-4242.scope\n");
    EXPECT_EQ(identify(101, "Navigator", "firefox"), u"org.mozilla.firefox"_s);
    d.process(102, u"cgroup"_s, "0::/user.slice/user-1000.slice/snap.firefox.firefox-2c5e0c1a.scope\n");
    EXPECT_EQ(identify(102, "Navigator", "firefox"), u"firefox_firefox"_s);

    // Window class: StartupWMClass first (visible entries before hidden helpers), then the id,
    // then the last part of a reverse-domain id.
    EXPECT_EQ(identify(0, "editor", "ExampleEditor"), u"org.example.Editor"_s);
    EXPECT_EQ(identify(0, "editor", "exampleeditor"), u"org.example.Editor"_s);
    EXPECT_EQ(identify(0, "Navigator", "Firefox-esr"), u"firefox-esr"_s);
    EXPECT_EQ(identify(0, "Navigator", "Firefox"), u"org.mozilla.firefox"_s);

    // The executable: a full path, a path behind env, a bare program name; never a guess
    // between several entries running the same interpreter.
    EXPECT_EQ(identify(0, "x", "Unknown", "/usr/lib/firefox-esr/firefox-esr"), u"firefox-esr"_s);
    EXPECT_EQ(identify(0, "x", "Unknown", "/opt/editor/bin/editor (deleted)"), u"org.example.Editor"_s);
    EXPECT_EQ(identify(0, "", "", "/usr/bin/gnome-calculator"), u"calc"_s);
    EXPECT_EQ(identify(0, "", "", "/usr/bin/python3"), u"<none>"_s);
    ASSERT_TRUE(QDir().mkpath(d.proc + u"/103"_s));
    ASSERT_TRUE(QFile::link(u"/usr/lib/firefox-esr/firefox-esr"_s, d.proc + u"/103/exe"_s));
    EXPECT_EQ(identify(103, "", ""), u"firefox-esr"_s);
    EXPECT_EQ(identify(999, "unknown", "Unknown"), u"<none>"_s);
}

TEST(DesktopEntryLookup, APipeForASandboxDescriptionIsNotWaitedOn)
{
    Desktop d;
    d.app(d.system, u"org.example.Editor.desktop"_s, "Name=Editor\nStartupWMClass=ExampleEditor\n");
    const DesktopEntries entries = d.entries();
    const QString fifo = d.proc + u"/104/root/.flatpak-info"_s;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(fifo).absolutePath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    auto found = std::async(std::launch::async, [&] {
        return idOf(entries.identify(WindowIdentity{104, u"editor"_s, u"ExampleEditor"_s, {}}));
    });
    const bool finished = found.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!finished) // let the stuck reader go before failing
        ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY));
    ASSERT_TRUE(finished) << "identify() waited on the pipe";
    EXPECT_EQ(found.get(), u"org.example.Editor"_s);
}

TEST(DesktopEntryLookup, IconsComeFromPathsAndTheHicolorFallback)
{
    Desktop d;
    const QString absolute = d.dir.filePath(u"art/editor.png"_s);
    d.icon(absolute, Qt::red);
    d.icon(d.system + u"/icons/hicolor/48x48/apps/quillmere-test-viewer.png"_s, Qt::blue);
    d.icon(d.system + u"/pixmaps/quillmere-test-old.png"_s, Qt::green);
    d.app(d.system, u"editor.desktop"_s, "Name=Editor\nIcon=" + absolute.toUtf8() + "\n");
    d.app(d.system, u"viewer.desktop"_s, "Name=Viewer\nIcon=quillmere-test-viewer\n");
    d.app(d.system, u"old.desktop"_s, "Name=Old\nIcon=quillmere-test-old.png\n");
    d.app(d.system, u"bare.desktop"_s, "Name=Bare\nIcon=quillmere-test-nowhere\n");
    d.app(d.system, u"moved.desktop"_s, "Name=Moved\nIcon=/nonexistent/icon.png\n");
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
    d.app(d.system, u"org.example.Editor.desktop"_s, "Name=Example Editor\nStartupWMClass=ExampleEditor\n");
    auto entries = std::make_shared<DesktopEntries>(d.entries());
    FrontApplication window;
    window.name = window.wmClassName = u"ExampleEditor"_s;
    window.desktopFileId = u"exampleeditor"_s;
    window.wmClassInstance = u"editor"_s;
    auto source = identifiedFrontApplications(entries, [&]() -> std::optional<FrontApplication> { return window; });
    auto app = source();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->desktopFileId, u"org.example.Editor"_s);
    EXPECT_EQ(app->name, u"Example Editor"_s);

    // No entry: the window system's own guesses stay.
    window.wmClassName = window.wmClassInstance = u"Other"_s;
    EXPECT_EQ(source()->desktopFileId, u"exampleeditor"_s);
    EXPECT_FALSE(identifiedFrontApplications(entries, [] { return std::optional<FrontApplication>(); })());
}
