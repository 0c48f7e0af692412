#include "Quillmere/Clipboard/PasteChordRule.h"

#include <QStringList>

namespace quillmere {
namespace {

bool named(const QString &instance, const QString &className, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QString n = QString::fromLatin1(name);
        if (instance.compare(n, Qt::CaseInsensitive) == 0 || className.compare(n, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

PasteChord PasteChordRule::chordFor(const QString &instance, const QString &className)
{
    if (named(instance, className, {"xterm", "uxterm", "urxvt", "rxvt", "rxvt-unicode", "urxvtc"}))
        return PasteChord::shiftInsert;
    // VTE terminals and the other terminal emulators with Ctrl+Shift+V.
    if (named(instance, className,
              {"gnome-terminal",
               "gnome-terminal-server",
               "org.gnome.Terminal",
               "kgx",
               "org.gnome.Console",
               "ptyxis",
               "org.gnome.Ptyxis",
               "mate-terminal",
               "lxterminal",
               "sakura",
               "guake",
               "tilda",
               "roxterm",
               "terminator",
               "tilix",
               "com.gexperts.Tilix",
               "xfce4-terminal",
               "konsole",
               "org.kde.konsole",
               "alacritty",
               "kitty",
               "wezterm",
               "org.wezfurlong.wezterm",
               "foot",
               "terminology",
               "qterminal",
               "deepin-terminal"}))
        return PasteChord::controlShiftV;
    return PasteChord::controlV;
}

} // namespace quillmere
