#include "Support/ProgramWindow.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>

namespace quillmere::test {

namespace {

// xdotool takes a POSIX extended expression, which knows fewer escapes than Qt's.
QString exactly(const QString &title)
{
    QString pattern = QStringLiteral("^");
    for (const QChar c : title) {
        if (QStringLiteral(".[]()*+?{}|^$\\").contains(c))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    return pattern + QLatin1Char('$');
}

// xdotool's answer: the first window whose title is `title`, or 0.
quint32 searchByTitle(const QString &title, QString *error)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), exactly(title)});
    if (!search.waitForFinished(5000)) {
        search.kill();
        search.waitForFinished(1000);
        *error = QStringLiteral("xdotool search did not answer within 5 s");
        return 0;
    }
    *error = QString::fromLocal8Bit(search.readAllStandardError()).trimmed();
    return search.readAllStandardOutput().trimmed().split('\n').value(0).toUInt();
}

} // namespace

ProgramWindow::ProgramWindow(const QString &program, const QStringList &arguments, const QString &title, int patienceMs)
    : m_program(program)
{
    for (const QString &needed : {program, QStringLiteral("xdotool")}) {
        if (QStandardPaths::findExecutable(needed).isEmpty()) {
            m_trouble = QStringLiteral("needs %1, which is not installed").arg(needed);
            return;
        }
    }
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000)) {
        m_trouble = QStringLiteral("%1 did not start: %2").arg(program, m_process.errorString());
        return;
    }
    // Asked again until it answers: a search fails outright when a window it looks at goes away
    // meanwhile, as an earlier test's window may.
    const QDeadlineTimer deadline(patienceMs);
    QString searchError;
    while (!ended()) {
        m_window = searchByTitle(title, &searchError);
        if (m_window != 0)
            return;
        if (deadline.hasExpired()) {
            m_trouble = QStringLiteral("no window titled \"%1\" within %2 s; xdotool said: %3")
                            .arg(title)
                            .arg(patienceMs / 1000)
                            .arg(searchError);
            return;
        }
        QTest::qWait(50);
    }
}

ProgramWindow::~ProgramWindow()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

// True once the program has gone, with what it wrote as the trouble.
bool ProgramWindow::ended()
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(0))
        return false;
    m_trouble = QStringLiteral("%1 ended with status %2 before its window showed: %3")
                    .arg(m_program)
                    .arg(m_process.exitCode())
                    .arg(QString::fromLocal8Bit(m_process.readAllStandardError()).trimmed());
    return true;
}

bool ProgramWindow::activate(int patienceMs)
{
    if (!shown())
        return false;
    const bool focused = QTest::qWaitFor(
        [this] {
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(m_window)});
            return QTest::qWaitFor([this] { return hasFocus(); }, 500);
        },
        patienceMs);
    if (!focused)
        m_trouble = QStringLiteral("%1's window never got the keyboard focus").arg(m_program);
    return focused;
}

bool ProgramWindow::hasFocus() const
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    auto *focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
    bool mine = false;
    // The focus may sit on one of the program's inner windows.
    for (xcb_window_t w = focus ? focus->focus : XCB_NONE; w != XCB_NONE && !mine;) {
        mine = w == m_window;
        auto *tree = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
        w = tree && tree->parent != tree->root ? tree->parent : XCB_NONE;
        std::free(tree);
    }
    std::free(focus);
    xcb_disconnect(c);
    return mine;
}

} // namespace quillmere::test
