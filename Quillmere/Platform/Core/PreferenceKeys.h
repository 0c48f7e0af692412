#pragma once

#include <QString>

namespace quillmere {

// One preference: its stored name and what it reads as when unset. Converts to its name, so the
// untyped reads of Preferences take it as they take a name.
template <typename T> struct PreferenceKey {
    const char *name;
    T defaultValue;

    operator QString() const { return QString::fromLatin1(name); }
};

// Every preference read or written by more than one part of the program, declared once. A key
// read by one class only is declared beside that class.
namespace PreferenceKeys {
inline const PreferenceKey<bool> capturePaused{"capturePaused", false};
inline const PreferenceKey<bool> copySoundEnabled{"copySoundEnabled", true};
inline const PreferenceKey<bool> autoExpireSensitiveClips{"autoExpireSensitiveClips", true};
inline const PreferenceKey<bool> onboardingCompleted{"onboardingCompleted", false};
inline const PreferenceKey<bool> screenCapturePermissionRequested{"screenCapturePermissionRequestedV1", false};
inline const PreferenceKey<bool> semanticSearchDisabled{"semanticSearchDisabled", false};
inline const PreferenceKey<bool> notchCaptureToastEnabled{"notchCaptureToastEnabled", true};
// "history", "lastUsed" or "page"; anything else reads as "history".
inline const PreferenceKey<const char *> panelOpenBehavior{"panelOpenBehavior", "history"};
inline const PreferenceKey<const char *> panelOpenPageID{"panelOpenPageID", ""};
inline const PreferenceKey<const char *> panelLastUsedTarget{"panelLastUsedTarget", ""};
// "full" or "twoThirds".
inline const PreferenceKey<const char *> panelWidthMode{"panelWidthMode", "full"};
inline const PreferenceKey<const char *> captureOverlayPosition{"captureOverlayPositionV1", ""};
inline const PreferenceKey<const char *> screenshotClipboardOutput{"screenshotClipboardOutputV1", ""};
inline const PreferenceKey<const char *> shareStorageProvider{"shareStorageProviderV1", ""};
inline const PreferenceKey<const char *> syncFolderPath{"syncFolderPath", ""};
inline const PreferenceKey<const char *> syncDeviceID{"syncDeviceID", ""};
inline const PreferenceKey<const char *> syncDeviceMachine{"syncDeviceMachine", ""};
} // namespace PreferenceKeys

} // namespace quillmere
