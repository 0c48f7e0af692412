// A window in a process of its own that takes one drop and prints what it got: each MIME type,
// then for every file URL its path and size. Prints "ready" once it is on screen.
#include <QApplication>
#include <QCryptographicHash>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {

class DropTarget : public QWidget {
public:
    DropTarget()
    {
        setAcceptDrops(true);
        setWindowTitle(QStringLiteral("drop probe"));
    }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent *event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent *event) override
    {
        const QMimeData *mime = event->mimeData();
        for (const QString &format : mime->formats())
            std::printf("type %s\n", qPrintable(format));
        for (const QUrl &url : mime->urls()) {
            QFile file(url.toLocalFile());
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            std::printf("file %s %lld %s\n", qPrintable(url.toLocalFile()), qlonglong(bytes.size()),
                        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().constData());
        }
        const QByteArray png = mime->data(QStringLiteral("image/png"));
        std::printf("png %lld %s\n", qlonglong(png.size()),
                    QCryptographicHash::hash(png, QCryptographicHash::Sha256).toHex().constData());
        std::printf("dropped\n");
        std::fflush(stdout);
        event->acceptProposedAction();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
    void showEvent(QShowEvent *) override
    {
        QTimer::singleShot(200, this, [] {
            std::printf("ready\n");
            std::fflush(stdout);
        });
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    DropTarget target;
    const QStringList args = app.arguments();
    target.setGeometry(args.value(1).toInt(), args.value(2).toInt(), 300, 300);
    target.show();
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}
