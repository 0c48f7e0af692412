#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace quillmere {

// The application whose window is active, as far as the window system tells.
struct FrontApplication {
    QString name;                         // the desktop entry's name, else the window class
    std::optional<QString> desktopFileId; // "firefox-esr" for firefox-esr.desktop; nothing when none is found
    qint64 pid = 0;                       // 0 when the window does not say
    QString wmClassInstance;
    QString wmClassName;
    quint32 window = 0;
};

// Asked at every capture. identifiedFrontApplications() (DesktopEntries.h) adds the desktop-file id.
using FrontApplicationSource = std::function<std::optional<FrontApplication>()>;

// Reads _NET_ACTIVE_WINDOW, _NET_WM_PID and WM_CLASS through Qt's own X connection. Nothing
// when there is no X display or no active window.
std::optional<FrontApplication> currentFrontApplication();

} // namespace quillmere
