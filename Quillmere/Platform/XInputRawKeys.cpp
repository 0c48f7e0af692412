#include "Quillmere/Platform/XInputRawKeys.h"

#include "Quillmere/Platform/XcbSupport.h"

#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <cstring>

namespace quillmere::xinput {

namespace {

xcb_extension_t inputExtension{"XInputExtension", 0};

// From the extension's protocol: the request and event numbers, the device set.
constexpr quint8 selectEventsRequest = 46;
constexpr quint16 rawKeyPress = 13, rawKeyRelease = 14;
constexpr quint16 allMasterDevices = 1;

// The fixed part of a raw event, which is all a key's raw event has.
struct RawEventWire {
    quint8 type;
    quint8 extension;
    quint16 sequence;
    quint32 length;
    quint16 evtype;
    quint16 deviceid;
    quint32 time;
    quint32 detail;
};

} // namespace

std::optional<quint8> selectRawKeys(xcb_connection_t *c, quint32 root)
{
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &inputExtension);
    if (!extension || !extension->present)
        return std::nullopt;
    // Window, one mask of one word for the master devices, with the two raw key bits.
    struct {
        quint8 major, minor;
        quint16 length;
        quint32 window;
        quint16 masks, pad;
        quint16 device, maskWords;
        quint32 bits;
    } request{};
    static_assert(sizeof request == 20);
    request.window = root;
    request.masks = 1;
    request.device = allMasterDevices;
    request.maskWords = 1;
    request.bits = (1u << rawKeyPress) | (1u << rawKeyRelease);
    iovec parts[3];
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    const xcb_protocol_request_t protocol{1, &inputExtension, selectEventsRequest, 1};
    const xcb_void_cookie_t cookie{xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
    // Refused when the client never announced version 2 of the extension.
    if (XcbReply<xcb_generic_error_t> error(xcb_request_check(c, cookie)); error)
        return std::nullopt;
    return extension->major_opcode;
}

std::optional<RawKey> rawKey(const xcb_generic_event_t *event, quint8 opcode)
{
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
        return std::nullopt;
    RawEventWire wire;
    std::memcpy(&wire, event, sizeof wire);
    if (wire.extension != opcode || (wire.evtype != rawKeyPress && wire.evtype != rawKeyRelease))
        return std::nullopt;
    return RawKey{wire.evtype == rawKeyPress, quint8(wire.detail), wire.time};
}

} // namespace quillmere::xinput
