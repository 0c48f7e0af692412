#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

namespace quillmere {

// On-device text recognition. Blocks for the whole recognition: call it off the main thread.
// Gives nothing rather than an empty or blank text; any thread may call it at once.
std::optional<QString> recognizeText(const QByteArray &encodedImage);
std::optional<QString> recognizeText(const QImage &image);

// How recognised lines become the result: each line kept as given (blank ones too), one line
// feed between lines, outer white space trimmed, at most `maxRecognizedCharacters`
// user-perceived characters.
std::optional<QString> assembleRecognizedLines(const QStringList &lines);

inline constexpr qsizetype maxRecognizedCharacters = 12000;

} // namespace quillmere
