// A second program for the X11 tests and benchmarks: a window of another process.
//   --text TITLE [clear]  a one-line text field; prints "ready WINDOW" once it has the focus
//                  and "text NANOSECONDS TEXT" (steady clock) whenever its text changes; with
//                  "clear" it empties itself after each report.
//   --drag FILE    a label that starts a drag of the file when pressed and moved; prints
//                  "ready WINDOW" once shown and "dropped ACTION" when the drag ends.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <chrono>
#include <cstdio>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class DragSource : public QLabel {
public:
    explicit DragSource(const QString &file) : QLabel(QStringLiteral("Drag me")), m_file(file)
    {
        setMinimumSize(200, 120);
        setAlignment(Qt::AlignCenter);
    }

protected:
    void mousePressEvent(QMouseEvent *event) override { m_pressedAt = event->position().toPoint(); }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        if (!(event->buttons() & Qt::LeftButton) || m_dragging)
            return;
        if ((event->position().toPoint() - m_pressedAt).manhattanLength() < QApplication::startDragDistance())
            return;
        m_dragging = true;
        auto *drag = new QDrag(this);
        auto *mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(m_file)});
        drag->setMimeData(mime);
        const Qt::DropAction action = drag->exec(Qt::CopyAction);
        say("dropped " + QByteArray::number(int(action)));
        m_dragging = false;
    }

private:
    QString m_file;
    QPoint m_pressedAt;
    bool m_dragging = false;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    if (args[1] == QLatin1String("--text")) {
        window.setWindowTitle(args[2]);
        auto *field = new QLineEdit;
        layout->addWidget(field);
        const bool clear = args.value(3) == QLatin1String("clear");
        QObject::connect(field, &QLineEdit::textChanged, [field, clear](const QString &text) {
            if (clear && text.isEmpty())
                return;
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            say("text " + QByteArray::number(qint64(std::chrono::nanoseconds(now).count())) + ' ' + text.toUtf8());
            if (clear)
                QTimer::singleShot(0, field, &QLineEdit::clear);
        });
        window.setGeometry(300, 500, 420, 80);
        window.show();
        field->setFocus();
        auto *ready = new QTimer(&window);
        QObject::connect(ready, &QTimer::timeout, [&window, field, ready] {
            if (window.isActiveWindow() && field->hasFocus()) {
                ready->stop();
                say("ready " + QByteArray::number(quint64(window.winId())));
            }
        });
        ready->start(20);
    } else if (args[1] == QLatin1String("--drag")) {
        window.setWindowTitle(QStringLiteral("drag source"));
        layout->addWidget(new DragSource(args[2]));
        window.setGeometry(300, 500, 240, 160);
        window.show();
        QTimer::singleShot(0, &window, [&window] { say("ready " + QByteArray::number(quint64(window.winId()))); });
    } else {
        return 2;
    }
    return app.exec();
}
