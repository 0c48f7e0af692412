#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillmere {

// xcb hands out replies, errors and events allocated with malloc.
struct XcbFree {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, XcbFree>;

// XCB_ATOM_NONE when the server has no such atom and `onlyIfExists` is set, or on error.
inline xcb_atom_t internAtom(xcb_connection_t *c, const char *name, bool onlyIfExists = false)
{
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, onlyIfExists, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace quillmere
