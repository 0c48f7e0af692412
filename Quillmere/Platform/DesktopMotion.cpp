#include "Quillmere/Platform/DesktopMotion.h"

#include "Quillmere/Platform/XcbSupport.h"

#include <QGuiApplication>
#include <QVariantList>
#include <QtEndian>

namespace quillmere {
namespace {

class Reader {
public:
    Reader(const QByteArray &data, bool bigEndian) : m_data(data), m_big(bigEndian) {}
    bool has(qsizetype n) const { return n >= 0 && m_pos + n <= m_data.size(); }
    quint8 u8() { return quint8(m_data[m_pos++]); }
    quint16 u16()
    {
        const auto *p = reinterpret_cast<const uchar *>(m_data.constData() + m_pos);
        m_pos += 2;
        return m_big ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }
    quint32 u32()
    {
        const auto *p = reinterpret_cast<const uchar *>(m_data.constData() + m_pos);
        m_pos += 4;
        return m_big ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }
    QByteArray bytes(qsizetype n)
    {
        QByteArray b = m_data.mid(m_pos, n);
        m_pos += (n + 3) & ~qsizetype(3);
        return b;
    }
    void skip(qsizetype n) { m_pos += n; }

private:
    const QByteArray &m_data;
    bool m_big;
    qsizetype m_pos = 0;
};

qsizetype padded(qsizetype n)
{
    return (n + 3) & ~qsizetype(3);
}

} // namespace

std::optional<std::map<QString, QVariant>> XSettingsMotion::parse(const QByteArray &data)
{
    if (data.size() < 12)
        return std::nullopt;
    const char order = data[0];
    if (order != 0 && order != 1)
        return std::nullopt;
    Reader r(data, order == 1);
    r.skip(4);
    r.u32(); // serial
    const quint32 count = r.u32();
    std::map<QString, QVariant> settings;
    for (quint32 i = 0; i < count; ++i) {
        if (!r.has(4))
            break;
        const quint8 type = r.u8();
        r.u8();
        const quint16 nameLength = r.u16();
        if (!r.has(padded(nameLength) + 4))
            break;
        const QString name = QString::fromUtf8(r.bytes(nameLength));
        r.u32(); // last change
        if (type == 0) {
            if (!r.has(4))
                break;
            settings[name] = int(qint32(r.u32()));
        } else if (type == 1) {
            if (!r.has(4))
                break;
            const quint32 length = r.u32();
            if (length > quint32(data.size()) || !r.has(padded(length)))
                break;
            settings[name] = QString::fromUtf8(r.bytes(length));
        } else if (type == 2) {
            if (!r.has(8))
                break;
            QVariantList colour;
            for (int c = 0; c < 4; ++c)
                colour << int(r.u16());
            settings[name] = colour;
        } else {
            return std::nullopt;
        }
    }
    return settings;
}

std::optional<QByteArray> XSettingsMotion::readSettingsProperty()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return std::nullopt;
    // Qt's own connection serves the default screen; the first screen is the one desktops publish on.
    const xcb_atom_t selection = internAtom(c, "_XSETTINGS_S0", true);
    const xcb_atom_t property = internAtom(c, "_XSETTINGS_SETTINGS", true);
    if (selection == XCB_ATOM_NONE || property == XCB_ATOM_NONE)
        return std::nullopt;
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return std::nullopt;
    // Settings are a few kilobytes; 64 KiB bounds what a misbehaving owner can hand us.
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, false, owner->owner, property, property, 0, 16384), nullptr));
    if (!reply || reply->format != 8)
        return std::nullopt;
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

bool XSettingsMotion::reduceMotion() const
{
    const auto data = readSettingsProperty();
    if (!data)
        return false;
    const auto settings = parse(*data);
    if (!settings)
        return false;
    const auto it = settings->find(enableAnimationsName);
    return it != settings->end() && it->second.typeId() == QMetaType::Int && it->second.toInt() == 0;
}

} // namespace quillmere
