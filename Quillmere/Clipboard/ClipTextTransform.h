#pragma once

#include <QLocale>
#include <QString>
#include <array>
#include <optional>
#include <vector>

namespace quillmere {

class ClipItem;

// "Copy as ..." transforms offered in a clip's context menu. Pure functions over text.
class ClipTextTransform {
public:
    // In menu order.
    enum Case {
        copyText,
        cleanURL,
        prettyPrintJSON,
        decodeBase64,
        extractLinks,
        extractEmails,
        uppercase,
        lowercase,
        titleCase,
        trimmed,
    };
    static constexpr std::array<Case, 10> allCases{copyText,     cleanURL,      prettyPrintJSON, decodeBase64,
                                                   extractLinks, extractEmails, uppercase,       lowercase,
                                                   titleCase,    trimmed};

    static QString rawValue(Case transform);
    static std::optional<Case> fromRawValue(const QString &raw);
    static QString title(Case transform);

    // Recognised text for image and file clips, the text for every other kind.
    static std::optional<QString> sourceText(const ClipItem &clip);
    // The transformed text, or none when the transform does not apply or would change nothing.
    // `locale` only matters for title case.
    static std::optional<QString> apply(Case transform, const QString &text, const QLocale &locale = QLocale());
    static std::vector<Case> available(const ClipItem &clip, const QLocale &locale = QLocale());
    static std::vector<Case> available(const std::optional<QString> &sourceText, const QLocale &locale = QLocale());

    // The single steps, reachable on their own for the callers that need just one.
    static std::optional<QString> cleanLinks(const QString &text);
    static std::optional<QString> cleanLink(const QString &link);
    static std::optional<QString> prettyPrintedJSON(const QString &trimmedText);
    static std::optional<QString> decodedBase64(const QString &trimmedText);
};

} // namespace quillmere
