#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace quillmere::test {

// Another program's window on the test display, found by its exact title. The wait for it ends as
// soon as the program does, so one that cannot start (xterm without /dev/pts, say) fails at once
// with what it said rather than when the patience runs out.
class ProgramWindow {
public:
    ProgramWindow(const QString &program, const QStringList &arguments, const QString &title, int patienceMs = 15000);
    ~ProgramWindow();
    ProgramWindow(const ProgramWindow &) = delete;
    ProgramWindow &operator=(const ProgramWindow &) = delete;

    bool shown() const { return m_window != 0; }
    quint32 window() const { return m_window; }
    // Why there is no window, or why it never had the focus.
    QString trouble() const { return m_trouble; }

    // Asks the window manager for it until the keyboard focus is inside it.
    bool activate(int patienceMs = 10000);
    bool hasFocus() const;

private:
    bool ended();

    QProcess m_process;
    QString m_program;
    quint32 m_window = 0;
    QString m_trouble;
};

} // namespace quillmere::test
