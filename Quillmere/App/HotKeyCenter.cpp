#include "Quillmere/App/HotKeyCenter.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QPointer>
#include <array>
#include <utility>

namespace quillmere {

namespace {

// Carbon virtual key codes name physical positions of an ANSI keyboard; each maps to the symbol
// that position carries unshifted, so the chord follows the user's layout.
constexpr std::array<std::pair<quint8, quint32>, 99> carbonKeysyms{{
    {0x00, 'a'},    {0x01, 's'},    {0x02, 'd'},    {0x03, 'f'},    {0x04, 'h'},    {0x05, 'g'},
    {0x06, 'z'},    {0x07, 'x'},    {0x08, 'c'},    {0x09, 'v'},    {0x0B, 'b'},    {0x0C, 'q'},
    {0x0D, 'w'},    {0x0E, 'e'},    {0x0F, 'r'},    {0x10, 'y'},    {0x11, 't'},    {0x12, '1'},
    {0x13, '2'},    {0x14, '3'},    {0x15, '4'},    {0x16, '6'},    {0x17, '5'},    {0x18, '='},
    {0x19, '9'},    {0x1A, '7'},    {0x1B, '-'},    {0x1C, '8'},    {0x1D, '0'},    {0x1E, ']'},
    {0x1F, 'o'},    {0x20, 'u'},    {0x21, '['},    {0x22, 'i'},    {0x23, 'p'},    {0x25, 'l'},
    {0x26, 'j'},    {0x27, '\''},   {0x28, 'k'},    {0x29, ';'},    {0x2A, '\\'},   {0x2B, ','},
    {0x2C, '/'},    {0x2D, 'n'},    {0x2E, 'm'},    {0x2F, '.'},    {0x31, ' '},    {0x32, '`'},
    {0x24, 0xff0d}, // Return
    {0x30, 0xff09}, // Tab
    {0x33, 0xff08}, // Delete (backspace)
    {0x35, 0xff1b}, // Escape
    {0x41, 0xffae}, {0x43, 0xffaa}, {0x45, 0xffab}, {0x4B, 0xffaf}, {0x4C, 0xff8d}, {0x4E, 0xffad},
    {0x51, 0xffbd}, // keypad =
    {0x52, 0xffb0}, {0x53, 0xffb1}, {0x54, 0xffb2}, {0x55, 0xffb3}, {0x56, 0xffb4}, {0x57, 0xffb5},
    {0x58, 0xffb6}, {0x59, 0xffb7}, {0x5B, 0xffb8}, {0x5C, 0xffb9}, {0x7A, 0xffbe}, {0x78, 0xffbf},
    {0x63, 0xffc0}, {0x76, 0xffc1}, {0x60, 0xffc2}, {0x61, 0xffc3},                                 // F1-F6
    {0x62, 0xffc4}, {0x64, 0xffc5}, {0x65, 0xffc6}, {0x6D, 0xffc7}, {0x67, 0xffc8}, {0x6F, 0xffc9}, // F7-F12
    {0x69, 0xffca}, {0x6B, 0xffcb}, {0x71, 0xffcc}, {0x6A, 0xffcd}, {0x40, 0xffce}, {0x4F, 0xffcf}, // F13-F18
    {0x50, 0xffd0}, {0x5A, 0xffd1},                                                                 // F19-F20
    {0x72, 0xff6a}, {0x73, 0xff50}, {0x74, 0xff55}, {0x75, 0xffff}, {0x77, 0xff57}, {0x79, 0xff56}, // Help..PageDown
    {0x7B, 0xff51}, {0x7C, 0xff53}, {0x7D, 0xff54}, {0x7E, 0xff52},                                 // arrows
}};

} // namespace

HotKeyCenter::HotKeyCenter(std::unique_ptr<GlobalKeyGrabbing> grabber, QObject *parent)
    : QObject(parent), m_grabber(grabber ? std::move(grabber) : std::make_unique<X11GlobalKeyGrabber>())
{
}

HotKeyCenter::~HotKeyCenter()
{
    for (const auto &[identifier, ref] : m_hotKeyRefs)
        m_grabber->ungrab(ref);
}

std::optional<quint32> HotKeyCenter::keysymForKeyCode(quint32 keyCode)
{
    for (const auto &[code, keysym] : carbonKeysyms)
        if (code == keyCode)
            return keysym;
    return std::nullopt;
}

ChordModifiers HotKeyCenter::chordModifiers(quint32 carbonModifiers)
{
    ChordModifiers out;
    if (carbonModifiers & CarbonModifier::command)
        out |= ChordModifier::super;
    if (carbonModifiers & CarbonModifier::shift)
        out |= ChordModifier::shift;
    if (carbonModifiers & CarbonModifier::option)
        out |= ChordModifier::alt;
    if (carbonModifiers & CarbonModifier::control)
        out |= ChordModifier::control;
    return out;
}

std::optional<KeyChord> HotKeyCenter::chordFor(quint32 keyCode, quint32 carbonModifiers)
{
    const std::optional<quint32> keysym = keysymForKeyCode(keyCode);
    if (!keysym)
        return std::nullopt;
    return KeyChord{*keysym, chordModifiers(carbonModifiers)};
}

std::optional<quint32> HotKeyCenter::registerHotKey(quint32 keyCode, quint32 modifiers, Handler handler)
{
    const std::optional<KeyChord> chord = chordFor(keyCode, modifiers);
    if (!chord) {
        qCWarning(lcHotKeys, "Hot key with key code %u not set: no key symbol is known for that place", keyCode);
        m_lastFailure = GrabFailure::keyNotOnKeyboard;
        return std::nullopt;
    }
    const quint32 identifier = m_nextIdentifier;
    const std::optional<GlobalKeyGrabbing::GrabID> ref = grab(identifier, *chord);
    if (!ref) {
        m_lastFailure = m_grabber->lastFailure();
        return std::nullopt;
    }
    m_lastFailure.reset();
    ++m_nextIdentifier;
    m_handlers[identifier] = std::move(handler);
    m_chords[identifier] = *chord;
    // Registered while suspended: held back like the others until the suspension ends.
    if (isSuspended())
        m_grabber->ungrab(*ref);
    else
        m_hotKeyRefs[identifier] = *ref;
    return identifier;
}

std::optional<GlobalKeyGrabbing::GrabID> HotKeyCenter::grab(quint32 identifier, const KeyChord &chord)
{
    // The grabber calls back inside the key event; the handler itself runs on a later turn of
    // the event loop, and only if the key is still registered then.
    QPointer<HotKeyCenter> self(this);
    return m_grabber->grab(chord, [self, identifier] {
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self, identifier] { self->dispatch(identifier); }, Qt::QueuedConnection);
    });
}

std::shared_ptr<void> HotKeyCenter::suspendGrabs()
{
    if (m_suspensions++ == 0) {
        for (const auto &[identifier, ref] : m_hotKeyRefs)
            m_grabber->ungrab(ref);
        m_hotKeyRefs.clear();
    }
    QPointer<HotKeyCenter> self(this);
    return std::shared_ptr<void>(nullptr, [self](void *) {
        if (self && --self->m_suspensions == 0)
            self->resumeGrabs();
    });
}

void HotKeyCenter::resumeGrabs()
{
    for (const auto &[identifier, chord] : m_chords) {
        if (const std::optional<GlobalKeyGrabbing::GrabID> ref = grab(identifier, chord))
            m_hotKeyRefs[identifier] = *ref;
        else
            qCWarning(lcHotKeys).noquote() << "Hot key" << chordText(chord)
                                           << "not taken back after recording a shortcut: another program has it now";
    }
}

void HotKeyCenter::unregisterHotKey(quint32 identifier)
{
    if (auto ref = m_hotKeyRefs.find(identifier); ref != m_hotKeyRefs.end()) {
        m_grabber->ungrab(ref->second);
        m_hotKeyRefs.erase(ref);
    }
    m_handlers.erase(identifier);
    m_chords.erase(identifier);
}

void HotKeyCenter::dispatch(quint32 identifier)
{
    auto it = m_handlers.find(identifier);
    if (it == m_handlers.end() || !it->second)
        return;
    // Copy: the handler may unregister itself.
    Handler handler = it->second;
    handler();
}

} // namespace quillmere
