// quillmere-screenshot: takes a screenshot into a PNG file.
//   quillmere-screenshot PATH      the screen that holds the pointer
//   quillmere-screenshot -i PATH   an area the user drags out on that screen; Escape or a right
//                                  click cancels and leaves no file
// Exit status: 0 written, 1 cancelled or failed, 2 wrong arguments.

#include "Quillmere/Capture/Tool/ScreenGrab.h"
#include "Quillmere/Capture/Tool/ScreenshotToolCore.h"
#include "Quillmere/Capture/Tool/SelectionOverlay.h"
#include "Quillmere/Platform/RootPixels.h"

#include <QApplication>
#include <QScreen>
#include <cstdio>
#include <sys/stat.h>

using namespace quillmere::screenshot;

namespace {

int save(const QImage &image, const QString &path)
{
    QString error;
    if (image.isNull() || !writePNGAtomically(image, path, &error)) {
        std::fprintf(stderr, "quillmere-screenshot: could not write %s: %s\n", qPrintable(path),
                     qPrintable(image.isNull() ? QStringLiteral("the X server gave no pixels") : error));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    ::umask(077);
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto command = parseToolArguments(arguments);
    if (!command) {
        std::fputs("usage: quillmere-screenshot [-i] FILE.png\n", stderr);
        return 2;
    }

    // The pixels come from the X server, also under XWayland.
    qputenv("QT_QPA_PLATFORM", "xcb");
    // Core pointer events carry the exact root position the overlay needs.
    qputenv("QT_XCB_NO_XI2", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillmere-screenshot"));

    QScreen *screen = screenWithPointer();
    if (!screen) {
        std::fputs("quillmere-screenshot: no screen\n", stderr);
        return 1;
    }
    const ScreenLayout layout{screen->geometry(), screen->devicePixelRatio()};
    const QImage still = quillmere::grabRootPixels(layout.deviceGeometry());
    if (!command->interactive)
        return save(still, command->outputPath);
    if (still.isNull())
        return save(still, command->outputPath);

    int status = 1;
    SelectionOverlay overlay(still, layout, [&](std::optional<QRect> area) {
        if (area)
            status = save(still.copy(*area), command->outputPath);
        QApplication::quit();
    });
    overlay.present();
    app.exec();
    return status;
}
