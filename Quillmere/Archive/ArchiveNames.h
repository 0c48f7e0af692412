#pragma once

#include <QLatin1StringView>

// The JSON names of the archive formats, one table per format, for writer and readers alike: a
// name spelt twice can drift apart and silently read nothing.
namespace quillmere {

// The whole-history backup.
namespace BackupNames {
inline constexpr QLatin1StringView manifest{"manifest"};
inline constexpr QLatin1StringView pinboards{"pinboards"};
inline constexpr QLatin1StringView clips{"clips"};
// Manifest.
inline constexpr QLatin1StringView version{"version"};
inline constexpr QLatin1StringView exportedAt{"exportedAt"};
inline constexpr QLatin1StringView appVersion{"appVersion"};
inline constexpr QLatin1StringView clipCount{"clipCount"};
inline constexpr QLatin1StringView pinboardCount{"pinboardCount"};
// A Page.
inline constexpr QLatin1StringView name{"name"};
inline constexpr QLatin1StringView colorName{"colorName"};
inline constexpr QLatin1StringView iconName{"iconName"};
inline constexpr QLatin1StringView sortOrder{"sortOrder"};
// A clip.
inline constexpr QLatin1StringView dedupID{"dedupID"};
inline constexpr QLatin1StringView createdAt{"createdAt"};
inline constexpr QLatin1StringView kind{"kind"};
inline constexpr QLatin1StringView text{"text"};
inline constexpr QLatin1StringView fileName{"fileName"};
inline constexpr QLatin1StringView fileTypeIdentifier{"fileTypeIdentifier"};
inline constexpr QLatin1StringView customTitle{"customTitle"};
inline constexpr QLatin1StringView recognizedText{"recognizedText"};
inline constexpr QLatin1StringView sourceAppName{"sourceAppName"};
inline constexpr QLatin1StringView sourceAppBundleID{"sourceAppBundleID"};
inline constexpr QLatin1StringView isPinned{"isPinned"};
inline constexpr QLatin1StringView contentHash{"contentHash"};
inline constexpr QLatin1StringView linkTitle{"linkTitle"};
inline constexpr QLatin1StringView isSavedToPage{"isSavedToPage"};
inline constexpr QLatin1StringView pageName{"pageName"};
inline constexpr QLatin1StringView imageDataBase64{"imageDataBase64"};
inline constexpr QLatin1StringView fileDataBase64{"fileDataBase64"};
} // namespace BackupNames

// One Page exported on its own.
namespace PageFileNames {
inline constexpr QLatin1StringView version{"version"};
inline constexpr QLatin1StringView name{"name"};
inline constexpr QLatin1StringView colorName{"colorName"};
inline constexpr QLatin1StringView iconName{"iconName"};
inline constexpr QLatin1StringView exportedAt{"exportedAt"};
inline constexpr QLatin1StringView clips{"clips"};
// A clip.
inline constexpr QLatin1StringView kind{"kind"};
inline constexpr QLatin1StringView text{"text"};
inline constexpr QLatin1StringView customTitle{"customTitle"};
inline constexpr QLatin1StringView fileName{"fileName"};
inline constexpr QLatin1StringView fileTypeIdentifier{"fileTypeIdentifier"};
inline constexpr QLatin1StringView recognizedText{"recognizedText"};
inline constexpr QLatin1StringView imageData{"imageData"};
inline constexpr QLatin1StringView fileData{"fileData"};
} // namespace PageFileNames

} // namespace quillmere
