#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// Page names by the Page's persistent identifier: the name, or "Untitled" when it is empty.
using PageNameTable = QHash<QString, QString>;
PageNameTable makePageNameTable(const std::vector<PageRef> &pages);

// Source names made of the project's own name are written under the product's name.
std::optional<QString> exportedSourceAppName(const std::optional<QString> &name);

// One clip of the readable export: text and metadata, no image or file data.
struct ClipExportRecord {
    QString id;
    QDateTime createdAt;
    QString kind;
    std::optional<QString> title;
    std::optional<QString> text;
    std::optional<QString> recognizedText;
    std::optional<QString> fileName;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;
    bool isPinned = false;
    std::optional<QString> pageName;

    static ClipExportRecord from(const ClipItem &clip, const PageNameTable &pageNames);
    QJsonObject toJson() const;
};

struct QuillmereExport {
    QDateTime exportedAt;
    std::vector<ClipExportRecord> clips;

    // Clips in the order given, temporary ones left out.
    static QuillmereExport make(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                                const QDateTime &exportedAt);
    // Pretty-printed UTF-8 JSON with sorted keys; dates to the second.
    QByteArray encoded() const;
};

namespace jsonexport {

inline const QString defaultFileName = QStringLiteral("brindlewax-export.json");
inline const QString panelTitle = QStringLiteral("Export Brindlewax JSON");

// What the export asks of the user; tests hand in their own.
struct ExportInteraction {
    // The chosen file, or none when the user cancels.
    std::function<std::optional<QString>()> choosePath;
    std::function<void(const QString &message)> showError;
    Clock clock = systemClock();
};
// Asks for a file, then builds, encodes and writes the export atomically. Cancelling does nothing;
// a failure is shown. Returns whether a file was written.
bool exportWithSavePanel(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                         const ExportInteraction &interaction);

} // namespace jsonexport
} // namespace quillmere
