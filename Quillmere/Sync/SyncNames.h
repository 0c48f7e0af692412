#pragma once

#include <QLatin1StringView>

// The JSON names of the sync folder's files and of this device's progress through them, spelt
// once for writer and reader alike: a name spelt twice can drift apart and silently read nothing.
namespace quillmere::SyncNames {

// Record types.
inline constexpr QLatin1StringView clipItem{"ClipItem"};
inline constexpr QLatin1StringView pinboard{"Pinboard"};
inline constexpr QLatin1StringView appSettings{"AppSettings"};

// A change file or snapshot.
inline constexpr QLatin1StringView format{"format"};
inline constexpr QLatin1StringView device{"device"};
inline constexpr QLatin1StringView snapshot{"snapshot"};
inline constexpr QLatin1StringView number{"number"};
inline constexpr QLatin1StringView records{"records"};

// A record (and `device` where it came from another device).
inline constexpr QLatin1StringView type{"type"};
inline constexpr QLatin1StringView id{"id"};
inline constexpr QLatin1StringView modifiedAt{"modifiedAt"};
inline constexpr QLatin1StringView deleted{"deleted"};
inline constexpr QLatin1StringView fields{"fields"};

// A clip's fields.
inline constexpr QLatin1StringView createdAt{"createdAt"};
inline constexpr QLatin1StringView kind{"kind"};
inline constexpr QLatin1StringView isPinned{"isPinned"};
inline constexpr QLatin1StringView contentHash{"contentHash"};
inline constexpr QLatin1StringView isSavedToPage{"isSavedToPage"};
inline constexpr QLatin1StringView payloadByteCount{"payloadByteCount"};
inline constexpr QLatin1StringView text{"text"};
inline constexpr QLatin1StringView fileName{"fileName"};
inline constexpr QLatin1StringView fileTypeIdentifier{"fileTypeIdentifier"};
inline constexpr QLatin1StringView customTitle{"customTitle"};
inline constexpr QLatin1StringView recognizedText{"recognizedText"};
inline constexpr QLatin1StringView sourceAppName{"sourceAppName"};
inline constexpr QLatin1StringView sourceAppBundleID{"sourceAppBundleID"};
inline constexpr QLatin1StringView linkTitle{"linkTitle"};
inline constexpr QLatin1StringView page{"page"};
inline constexpr QLatin1StringView image{"image"};
inline constexpr QLatin1StringView file{"file"};

// A Page's fields (and `createdAt`).
inline constexpr QLatin1StringView name{"name"};
inline constexpr QLatin1StringView colorName{"colorName"};
inline constexpr QLatin1StringView iconName{"iconName"};
inline constexpr QLatin1StringView sortOrder{"sortOrder"};
inline constexpr QLatin1StringView lockSalt{"lockSalt"};
inline constexpr QLatin1StringView lockHash{"lockHash"};

// The settings' fields.
inline constexpr QLatin1StringView historyLimitValue{"historyLimitValue"};
inline constexpr QLatin1StringView updatedAt{"updatedAt"};

// This device's progress, kept in the store's sync bookkeeping.
inline constexpr QLatin1StringView watermark{"watermark"};
inline constexpr QLatin1StringView recent{"recent"};
inline constexpr QLatin1StringView deletionRow{"deletionRow"};
inline constexpr QLatin1StringView nextNumber{"nextNumber"};
inline constexpr QLatin1StringView last{"last"};
inline constexpr QLatin1StringView pending{"pending"};

} // namespace quillmere::SyncNames
