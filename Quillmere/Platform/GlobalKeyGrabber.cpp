#include "Quillmere/Platform/GlobalKeyGrabber.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/XInputRawKeys.h"
#include "Quillmere/Platform/XcbSupport.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

namespace quillmere {

namespace {

constexpr quint32 keysymNumLock = 0xff7f, keysymScrollLock = 0xff14;
constexpr quint32 keysymAltL = 0xffe9, keysymAltR = 0xffea, keysymMetaL = 0xffe7, keysymMetaR = 0xffe8;
constexpr quint32 keysymSuperL = 0xffeb, keysymSuperR = 0xffec;

// Modifier bits the matching of a press looks at; the lock bits are added per variant instead.
constexpr quint16 chordStateBits = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_2
    | XCB_MOD_MASK_3 | XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

// A held key's repeats come at most about a second apart; a longer gap means we missed its
// release and this is a fresh press.
constexpr quint32 repeatGapMs = 1000;

xcb_connection_t *qtConnection()
{
    if (!qGuiApp)
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

} // namespace

QString chordText(const KeyChord &chord)
{
    QStringList parts;
    if (chord.modifiers & ChordModifier::control)
        parts << QStringLiteral("Ctrl");
    if (chord.modifiers & ChordModifier::alt)
        parts << QStringLiteral("Alt");
    if (chord.modifiers & ChordModifier::shift)
        parts << QStringLiteral("Shift");
    if (chord.modifiers & ChordModifier::super)
        parts << QStringLiteral("Super");
    if (chord.keysym > 0x20 && chord.keysym < 0x7f)
        parts << QString(QChar(chord.keysym)).toUpper();
    else
        parts << QStringLiteral("key 0x%1").arg(chord.keysym, 0, 16);
    return parts.join(QLatin1Char('+'));
}

X11GlobalKeyGrabber::X11GlobalKeyGrabber()
{
    m_blockedCheck.setInterval(blockedPressCheckMs);
    m_blockedCheck.callOnTimeout([this] { checkBlockedPresses(); });
}

X11GlobalKeyGrabber::~X11GlobalKeyGrabber()
{
    // After the application is gone its connection is too; the server drops our grabs then.
    if (m_connection && qtConnection() == m_connection) {
        for (const Grab &g : std::as_const(m_grabs))
            for (quint16 lock : lockVariants())
                ungrabOnServer(g.keycode, g.mask | lock);
        xcb_flush(static_cast<xcb_connection_t *>(m_connection));
    }
    if (m_filterInstalled && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool X11GlobalKeyGrabber::isAvailable()
{
    return qtConnection() != nullptr;
}

bool X11GlobalKeyGrabber::ensureConnection()
{
    if (m_connection)
        return true;
    xcb_connection_t *c = qtConnection();
    if (!c || xcb_connection_has_error(c))
        return false;
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (!screens.rem)
        return false;
    m_connection = c;
    m_root = screens.data->root;
    // Qt takes the keyboard extension's notices, and the server then sends it no core notice of
    // a new keymap; those notices are how a changed layout reaches us.
    static const char xkbName[] = "XKEYBOARD";
    XcbReply<xcb_query_extension_reply_t> xkb(
        xcb_query_extension_reply(c, xcb_query_extension(c, sizeof xkbName - 1, xkbName), nullptr));
    m_xkbEvent = xkb && xkb->present ? xkb->first_event : 0;
    refreshKeyboardMapping();
    if (const std::optional<quint8> opcode = xinput::selectRawKeys(c, m_root))
        m_inputOpcode = *opcode;
    else
        qCWarning(lcHotKeys) << "No raw key events from the X server: a hot key pressed while another program "
                                "holds the keyboard goes unnoticed";
    if (!m_filterInstalled) {
        QCoreApplication::instance()->installNativeEventFilter(this);
        m_filterInstalled = true;
    }
    return true;
}

void X11GlobalKeyGrabber::refreshKeyboardMapping()
{
    auto *c = static_cast<xcb_connection_t *>(m_connection);
    const xcb_setup_t *setup = xcb_get_setup(c);
    m_minKeycode = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;

    m_keysyms.clear();
    m_keysymsPerKeycode = 0;
    XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, quint8(count)), nullptr));
    if (mapping) {
        m_keysymsPerKeycode = mapping->keysyms_per_keycode;
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int n = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
        m_keysyms.assign(syms, syms + n);
    }

    // Which ModN carries Alt, Super and NumLock differs between keymaps; the usual places are
    // the fallback.
    m_masks = {XCB_MOD_MASK_1, XCB_MOD_MASK_4, XCB_MOD_MASK_2, 0};
    m_modifierOfKey.fill(0);
    XcbReply<xcb_get_modifier_mapping_reply_t> mods(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!mods || m_keysymsPerKeycode == 0)
        return;
    const int perModifier = mods->keycodes_per_modifier;
    const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(mods.get());
    for (int modIndex = 0; modIndex < 8; ++modIndex)
        for (int k = 0; k < perModifier; ++k)
            m_modifierOfKey[codes[modIndex * perModifier + k]] |= quint16(1u << modIndex);
    m_modifierOfKey[0] = 0;
    ModifierMasks found;
    for (int modIndex = 3; modIndex < 8; ++modIndex) { // Mod1..Mod5
        const quint16 bit = quint16(1u << modIndex);
        for (int k = 0; k < perModifier; ++k) {
            const xcb_keycode_t code = codes[modIndex * perModifier + k];
            if (code < m_minKeycode)
                continue;
            const size_t row = size_t(code - m_minKeycode) * size_t(m_keysymsPerKeycode);
            for (int col = 0; col < m_keysymsPerKeycode && row + col < m_keysyms.size(); ++col) {
                const quint32 sym = m_keysyms[row + col];
                if (sym == keysymNumLock && !found.numLock)
                    found.numLock = bit;
                else if (sym == keysymScrollLock && !found.scrollLock)
                    found.scrollLock = bit;
                else if ((sym == keysymAltL || sym == keysymAltR || sym == keysymMetaL || sym == keysymMetaR)
                         && !found.alt)
                    found.alt = bit;
                else if ((sym == keysymSuperL || sym == keysymSuperR) && !found.super)
                    found.super = bit;
            }
        }
    }
    if (found.alt)
        m_masks.alt = found.alt;
    if (found.super)
        m_masks.super = found.super;
    if (found.numLock)
        m_masks.numLock = found.numLock;
    // Most keymaps give ScrollLock no modifier at all; then there is nothing to cover.
    m_masks.scrollLock = found.scrollLock;
}

std::optional<quint8> X11GlobalKeyGrabber::keycodeFor(quint32 keysym) const
{
    if (m_keysymsPerKeycode <= 0)
        return std::nullopt;
    // The unshifted level wins; the shifted one (upper-case letters) is the fallback.
    const int columns = std::min(m_keysymsPerKeycode, 2);
    for (int col = 0; col < columns; ++col) {
        for (size_t row = 0; row * m_keysymsPerKeycode + col < m_keysyms.size(); ++row) {
            if (m_keysyms[row * m_keysymsPerKeycode + col] == keysym)
                return quint8(m_minKeycode + row);
        }
    }
    return std::nullopt;
}

quint16 X11GlobalKeyGrabber::maskFor(ChordModifiers modifiers) const
{
    quint16 mask = 0;
    if (modifiers & ChordModifier::shift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & ChordModifier::control)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & ChordModifier::alt)
        mask |= m_masks.alt;
    if (modifiers & ChordModifier::super)
        mask |= m_masks.super;
    return mask;
}

quint16 X11GlobalKeyGrabber::lockBits() const
{
    return quint16(XCB_MOD_MASK_LOCK | m_masks.numLock | m_masks.scrollLock);
}

std::vector<quint16> X11GlobalKeyGrabber::lockVariants() const
{
    const quint16 locks[] = {XCB_MOD_MASK_LOCK, m_masks.numLock, m_masks.scrollLock};
    std::vector<quint16> variants{0};
    for (quint16 lock : locks) {
        if (!lock || std::find(variants.begin(), variants.end(), lock) != variants.end())
            continue;
        const size_t n = variants.size();
        for (size_t i = 0; i < n; ++i)
            variants.push_back(quint16(variants[i] | lock));
    }
    return variants;
}

bool X11GlobalKeyGrabber::grabOnServer(quint8 keycode, quint16 mask)
{
    auto *c = static_cast<xcb_connection_t *>(m_connection);
    // Events go to the root even while one of our windows has focus, so the chord never types.
    xcb_void_cookie_t cookie =
        xcb_grab_key_checked(c, 0, m_root, mask, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    XcbReply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
    if (error) {
        qCDebug(lcHotKeys) << "X error" << error->error_code << "for keycode" << keycode << "mask" << Qt::hex << mask;
        return false;
    }
    return true;
}

void X11GlobalKeyGrabber::ungrabOnServer(quint8 keycode, quint16 mask)
{
    xcb_ungrab_key(static_cast<xcb_connection_t *>(m_connection), keycode, m_root, mask);
}

std::optional<GlobalKeyGrabbing::GrabID> X11GlobalKeyGrabber::grab(const KeyChord &chord, std::function<void()> onPress)
{
    const auto failed = [this, &chord](GrabFailure why) -> std::optional<GrabID> {
        m_lastFailure = why;
        return std::nullopt;
    };
    if (!ensureConnection()) {
        qCWarning(lcHotKeys).noquote() << "Hot key" << chordText(chord) << "not set: no X display";
        return failed(GrabFailure::noDisplay);
    }
    const std::optional<quint8> keycode = keycodeFor(chord.keysym);
    if (!keycode) {
        qCWarning(lcHotKeys).noquote() << "Hot key" << chordText(chord) << "not set: no key produces keysym" << Qt::hex
                                       << chord.keysym << "in the current layout";
        return failed(GrabFailure::keyNotOnKeyboard);
    }
    const quint16 mask = maskFor(chord.modifiers);
    // A second grab of the same combination would silently share one server grab.
    for (const Grab &g : std::as_const(m_grabs))
        if (g.keycode == *keycode && g.mask == mask) {
            qCWarning(lcHotKeys).noquote() << "Hot key" << chordText(chord) << "not set: it is already set";
            return failed(GrabFailure::alreadyGrabbed);
        }

    std::vector<quint16> done;
    for (quint16 lock : lockVariants()) {
        if (!grabOnServer(*keycode, mask | lock)) {
            for (quint16 undo : done)
                ungrabOnServer(*keycode, mask | undo);
            xcb_flush(static_cast<xcb_connection_t *>(m_connection));
            qCWarning(lcHotKeys).noquote()
                << "Hot key" << chordText(chord) << "not set: the X server refused the grab, another program uses it";
            return failed(GrabFailure::refused);
        }
        done.push_back(lock);
    }
    m_lastFailure.reset();
    const GrabID id = m_nextID++;
    m_grabs.insert(id, Grab{chord, *keycode, mask, std::move(onPress)});
    return id;
}

void X11GlobalKeyGrabber::ungrab(GrabID id)
{
    auto it = m_grabs.find(id);
    if (it == m_grabs.end())
        return;
    if (qtConnection() == m_connection) {
        for (quint16 lock : lockVariants())
            ungrabOnServer(it->keycode, it->mask | lock);
        xcb_flush(static_cast<xcb_connection_t *>(m_connection));
    }
    m_grabs.erase(it);
}

X11GlobalKeyGrabber::Grab *X11GlobalKeyGrabber::grabForEvent(quint8 keycode, quint16 state)
{
    for (Grab &g : m_grabs) {
        // A lock bit that is also one of the chord's own modifiers still counts.
        const quint16 relevant = state & chordStateBits & ~(lockBits() & ~g.mask);
        if (g.keycode == keycode && g.mask == relevant)
            return &g;
    }
    return nullptr;
}

void X11GlobalKeyGrabber::regrabAfterMappingChange()
{
    // Tools such as xdotool map a spare key for a moment and back, so this runs often. A grab
    // taken away and put back would let a chord pressed in between reach the focused window, so
    // a grab that stays the same is left alone, and new grabs are taken before old ones go.
    using Combo = std::pair<quint8, quint16>;
    std::set<Combo> before;
    for (const Grab &g : m_grabs)
        if (g.keycode != 0)
            for (quint16 lock : lockVariants())
                before.insert({g.keycode, quint16(g.mask | lock)});
    refreshKeyboardMapping();
    std::set<Combo> after;
    for (Grab &g : m_grabs) {
        const std::optional<quint8> keycode = keycodeFor(g.chord.keysym);
        const quint16 mask = maskFor(g.chord.modifiers);
        if (keycode.value_or(0) != g.keycode || mask != g.mask)
            g.held = false;
        g.keycode = keycode.value_or(0);
        g.mask = mask;
        if (!keycode)
            continue;
        bool lost = false;
        for (quint16 lock : lockVariants()) {
            const Combo combo{g.keycode, quint16(g.mask | lock)};
            after.insert(combo);
            if (!before.count(combo) && !grabOnServer(combo.first, combo.second))
                lost = true;
        }
        if (lost)
            qCWarning(lcHotKeys).noquote() << "Hot key" << chordText(g.chord) << "lost after a keyboard change";
    }
    for (const Combo &combo : before)
        if (!after.count(combo))
            ungrabOnServer(combo.first, combo.second);
}

bool X11GlobalKeyGrabber::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_connection || eventType != "xcb_generic_event_t" || !message)
        return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    const quint8 type = event->response_type & 0x7f;

    if (type == XCB_KEY_PRESS) {
        auto *key = reinterpret_cast<xcb_key_press_event_t *>(event);
        Grab *g = grabForEvent(key->detail, key->state);
        if (!g)
            return false;
        g->pendingTime = 0;
        // Already acted on once another program let the keyboard go.
        if (g->lateTime != 0 && key->time == g->lateTime) {
            g->lateTime = 0;
            return true;
        }
        // Auto-repeat: either presses with no release between them, or a release and a press
        // with the same time stamp. The server makes no raw event for a repeat, so a raw press
        // just before says it is a new one: a quick synthetic chord, or one whose release went
        // elsewhere.
        const bool fresh = g->rawFresh;
        g->rawFresh = false;
        const bool repeat = !fresh
            && ((g->held && key->time - g->lastSeenTime < repeatGapMs)
                || (!g->held && g->lastReleaseTime != 0 && key->time == g->lastReleaseTime));
        g->held = true;
        g->lastSeenTime = key->time; // repeats keep the gap short while the key stays down
        if (!repeat && g->onPress) {
            auto callback = g->onPress; // the handler may ungrab and so erase `g`
            callback();
        }
        return true;
    }
    if (type == XCB_KEY_RELEASE) {
        auto *key = reinterpret_cast<xcb_key_release_event_t *>(event);
        bool ours = false;
        for (Grab &g : m_grabs) {
            if (g.keycode == key->detail && g.held) {
                g.held = false;
                g.lastReleaseTime = g.lastSeenTime = key->time;
                ours = true;
            }
        }
        // While the chord's grab was ours the server sent us no raw events: modifiers let go
        // before the key would otherwise stay held in our books.
        if (ours)
            resyncKeysDown();
        return false;
    }
    if (type == XCB_FOCUS_IN || type == XCB_FOCUS_OUT) {
        // The same after a keyboard grab of one of our windows (a menu, a selection overlay).
        if (reinterpret_cast<xcb_focus_in_event_t *>(event)->mode == XCB_NOTIFY_MODE_UNGRAB)
            resyncKeysDown();
        return false;
    }
    if (m_inputOpcode != 0) {
        if (const std::optional<xinput::RawKey> raw = xinput::rawKey(event, m_inputOpcode)) {
            rawKeyEvent(raw->press, raw->keycode, raw->time);
            return false;
        }
    }
    if (type == XCB_MAPPING_NOTIFY) {
        auto *mapping = reinterpret_cast<xcb_mapping_notify_event_t *>(event);
        if (mapping->request != XCB_MAPPING_POINTER && !m_grabs.isEmpty())
            regrabAfterMappingChange();
        return false;
    }
    // The extension's own kind sits in the second byte: a new keyboard (0) or a changed map (1);
    // its frequent state notices (2) change nothing here.
    if (m_xkbEvent != 0 && type == m_xkbEvent && event->pad0 <= 1 && !m_grabs.isEmpty())
        regrabAfterMappingChange();
    return false;
}

void X11GlobalKeyGrabber::rawKeyEvent(bool press, quint8 keycode, quint32 time)
{
    m_rawDown[keycode] = press;
    if (!press)
        for (Grab &g : m_grabs)
            if (g.pendingTime != 0 && g.pendingModifiers[keycode])
                g.pendingReleased[keycode] = true;
    bool grabbed = false;
    for (Grab &g : m_grabs) {
        if (g.keycode != keycode)
            continue;
        grabbed = true;
        if (press)
            g.rawFresh = true;
        else
            g.rawHeld = false;
    }
    if (!press || !grabbed)
        return;
    // Raw events carry no modifiers: the modifier keys down, as their own raw events told.
    quint16 state = 0;
    std::bitset<256> modifiers;
    for (size_t k = 0; k < m_rawDown.size(); ++k)
        if (m_rawDown[k] && (m_modifierOfKey[k] & chordStateBits)) {
            state |= m_modifierOfKey[k];
            modifiers[k] = true;
        }
    Grab *g = grabForEvent(keycode, state);
    if (!g || g->rawHeld)
        return;
    g->rawHeld = true;
    // Its core twin, with the same time, came already: our grab had it.
    if (g->held && g->lastSeenTime == time)
        return;
    g->pendingTime = time ? time : 1;
    g->pendingModifiers = modifiers;
    g->pendingReleased.reset();
    g->pendingSince.start();
    g->announced = false;
    if (!m_blockedCheck.isActive())
        m_blockedCheck.start();
}

bool X11GlobalKeyGrabber::keyboardIsFree()
{
    // While a window of ours has the focus, keys come to us and no press was hidden; taking the
    // keyboard to test would end that window's own grab.
    if (QGuiApplication::focusWindow())
        return false;
    auto *c = static_cast<xcb_connection_t *>(m_connection);
    XcbReply<xcb_grab_keyboard_reply_t> reply(xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, m_root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr));
    if (!reply || reply->status != XCB_GRAB_STATUS_SUCCESS)
        return false;
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_flush(c);
    resyncKeysDown(); // raw events of that instant never came
    return true;
}

std::optional<std::bitset<256>> X11GlobalKeyGrabber::keysDownOnServer()
{
    auto *c = static_cast<xcb_connection_t *>(m_connection);
    XcbReply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    if (!keymap)
        return std::nullopt;
    std::bitset<256> down;
    for (size_t k = 0; k < down.size(); ++k)
        down[k] = (keymap->keys[k / 8] >> (k % 8)) & 1;
    return down;
}

void X11GlobalKeyGrabber::resyncKeysDown()
{
    if (m_inputOpcode == 0)
        return;
    const std::optional<std::bitset<256>> down = keysDownOnServer();
    if (!down)
        return;
    m_rawDown = *down;
    // A key still marked held would hide its next press from us.
    for (Grab &g : m_grabs)
        g.rawHeld = g.rawHeld && (*down)[g.keycode];
}

bool X11GlobalKeyGrabber::modifiersStillVouchedFor(const Grab &g, const std::optional<std::bitset<256>> &down) const
{
    // Raw events carry no modifier state, and ours miss releases made while we held the
    // keyboard. A modifier really held at the press is either still down or was let go since.
    if (!down)
        return true;
    return (g.pendingModifiers & ~(*down | g.pendingReleased)).none();
}

void X11GlobalKeyGrabber::checkBlockedPresses()
{
    std::vector<std::function<void()>> late;
    bool waiting = false;
    std::optional<bool> free;
    for (Grab &g : m_grabs) {
        if (g.pendingTime == 0)
            continue;
        if (g.pendingSince.elapsed() < blockedPressCheckMs) {
            waiting = true;
            continue;
        }
        if (!modifiersStillVouchedFor(g, keysDownOnServer())) {
            qCDebug(lcHotKeys).noquote() << "Hot key" << chordText(g.chord)
                                         << "not acted on: its modifiers were not held when the key was pressed";
            g.pendingTime = 0;
            resyncKeysDown();
            continue;
        }
        // Our grab never fired: another program holds the keyboard, or nothing had the focus.
        if (!free)
            free = keyboardIsFree();
        if (*free) {
            qCInfo(lcHotKeys).noquote() << "Hot key" << chordText(g.chord) << "acted on after"
                                        << g.pendingSince.elapsed()
                                        << "ms: the keyboard was not free when it was pressed";
            g.lateTime = g.pendingTime;
            g.pendingTime = 0;
            g.held = false;
            late.push_back(g.onPress);
            continue;
        }
        if (!g.announced) {
            g.announced = true;
            qCWarning(lcHotKeys).noquote()
                << "Hot key" << chordText(g.chord)
                << "pressed while another program holds the keyboard; waiting for it to let go";
        }
        if (g.pendingSince.elapsed() >= blockedPressWaitMs) {
            qCWarning(lcHotKeys).noquote()
                << "Hot key" << chordText(g.chord) << "not acted on: another program kept the keyboard for"
                << blockedPressWaitMs << "ms";
            g.pendingTime = 0;
            continue;
        }
        waiting = true;
    }
    if (!waiting)
        m_blockedCheck.stop();
    // After the loop: a handler may ungrab.
    for (const auto &onPress : late)
        if (onPress)
            onPress();
}

} // namespace quillmere
