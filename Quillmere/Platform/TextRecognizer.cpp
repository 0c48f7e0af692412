#include "Quillmere/Platform/TextRecognizer.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QTextBoundaryFinder>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <memory>

namespace quillmere {
namespace {

// Small screen text is below the glyph height the engine reads well; doubling it helps a lot
// and costs little at these sizes.
constexpr qint64 upscaleBelowPixels = 1500 * 1000;

QImage preparedForRecognition(const QImage &source)
{
    // Transparent pixels would turn black in grey; put the picture on white first.
    QImage flat(source.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    {
        QPainter painter(&flat);
        painter.drawImage(0, 0, source);
    }
    if (qint64(flat.width()) * flat.height() <= upscaleBelowPixels)
        flat = flat.scaled(flat.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return flat.convertToFormat(QImage::Format_Grayscale8);
}

QString firstCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    while (finder.toNextBoundary() != -1) {
        if (++seen == count)
            return text.left(finder.position());
    }
    return text;
}

} // namespace

std::optional<QString> assembleRecognizedLines(const QStringList &lines)
{
    QStringList kept;
    for (QString line : lines) {
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        kept.append(line);
    }
    const QString joined = kept.join(QLatin1Char('\n')).trimmed();
    if (joined.isEmpty())
        return std::nullopt;
    return firstCharacters(joined, maxRecognizedCharacters);
}

std::optional<QString> recognizeText(const QByteArray &encodedImage)
{
    if (encodedImage.isEmpty())
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(encodedImage);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage image = reader.read(); // the first frame only
    if (image.isNull())
        return std::nullopt;
    return recognizeText(image);
}

std::optional<QString> recognizeText(const QImage &image)
{
    if (image.isNull())
        return std::nullopt;
    const QImage gray = preparedForRecognition(image);

    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng", tesseract::OEM_DEFAULT) != 0)
        return std::nullopt;
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    api.SetSourceResolution(300);
    if (api.Recognize(nullptr) != 0) {
        api.End();
        return std::nullopt;
    }

    QStringList lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
        do {
            // A line without a candidate is no line; a blank candidate is kept as the engine gave it.
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            if (text)
                lines.append(QString::fromUtf8(text.get()));
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    it.reset();
    api.End();
    return assembleRecognizedLines(lines);
}

} // namespace quillmere
