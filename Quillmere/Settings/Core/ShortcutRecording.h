#pragma once

#include "Quillmere/Capture/CaptureShortcuts.h"

#include <QString>
#include <Qt>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

// What the shortcut recorder does with one key press: the stored form is a Carbon key code and
// modifier mask, shown with the desktop's modifier names (Ctrl, Alt, Shift, Super).
class ShortcutRecording {
public:
    enum class Outcome {
        passedOn,  // not recording: the key goes where it was going
        removed,   // Delete or Backspace: the shortcut is to go
        cancelled, // Escape
        refused,   // no Ctrl, Alt or Super held, a key we cannot store, or a combination the hot keys own
        recorded,
    };
    struct Result {
        Outcome outcome = Outcome::passedOn;
        std::optional<CaptureShortcut> shortcut;
    };
    // The table the hot keys are registered with: Carbon key code to X keysym.
    using KeysymTable = std::function<std::optional<quint32>(quint32 carbonKeyCode)>;
    // Lets go of the program's own hot keys until the token it gives is dropped.
    using HotKeySuspension = std::function<std::shared_ptr<void>()>;

    static constexpr quint32 keyCodeDelete = 51, keyCodeForwardDelete = 117, keyCodeEscape = 53;
    static constexpr quint32 requiredModifiers =
        CarbonModifier::command | CarbonModifier::option | CarbonModifier::control;

    bool isRecording() const { return m_recording; }
    void start() { m_recording = true; }
    void stop() { m_recording = false; }

    // `keyCode` none: the key has no Carbon code.
    Result handleKeyDown(std::optional<quint32> keyCode, quint32 modifiers);

    // The two combinations the panel and paste-next hot keys own.
    static bool isReserved(const CaptureShortcut &shortcut);
    static QString displayText(const std::optional<CaptureShortcut> &shortcut, bool recording);
    // Control, Alt, Shift and Super (Meta) count; Caps Lock, keypad and the rest are dropped.
    static quint32 carbonModifiers(Qt::KeyboardModifiers modifiers);

    // The unshifted keysym Qt's key stands for, where the two agree (letters, digits,
    // punctuation, function and editing keys).
    static std::optional<quint32> keysymForQtKey(int qtKey);
    // The table read backwards.
    static std::optional<quint32> carbonKeyCode(quint32 keysym, const KeysymTable &table);
    // Modifier keys on their own are part of a combination being typed, not a key press.
    static bool isModifierKey(int qtKey);

private:
    bool m_recording = false;
};

} // namespace quillmere
