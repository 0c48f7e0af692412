#pragma once

#include <QtGlobal>
#include <optional>

#include <xcb/xcb.h>

namespace quillmere {

// Raw key events of the X input extension (2.1 and later): the server sends them to every client
// that asked on the root window, also while another client holds the keyboard, when no core key
// event and no passive grab reaches us.
namespace xinput {

struct RawKey {
    bool press = false;
    quint8 keycode = 0;
    quint32 time = 0;
};

// Asks for the master keyboards' raw presses and releases; the extension's major opcode, or
// nothing when the server (or the client's announced version) has no such events.
std::optional<quint8> selectRawKeys(xcb_connection_t *connection, quint32 root);
std::optional<RawKey> rawKey(const xcb_generic_event_t *event, quint8 opcode);

} // namespace xinput

} // namespace quillmere
