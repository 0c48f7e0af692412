#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <map>
#include <optional>

namespace quillmere {

// The desktop's "reduce motion": its animations switch, asked each time a motion starts.
class DesktopMotion {
public:
    virtual ~DesktopMotion() = default;
    virtual bool reduceMotion() const = 0;
};

// The XSETTINGS value Gtk/EnableAnimations, published by the desktop's settings daemon through the
// owner of _XSETTINGS_S<screen>. No owner, no value or a non-integer means animations are on.
class XSettingsMotion : public DesktopMotion {
public:
    bool reduceMotion() const override;

    static inline const QString enableAnimationsName = QStringLiteral("Gtk/EnableAnimations");
    // Integers as int, strings as QString, colours as a list of four ints. Nothing when the data
    // is malformed; a setting cut short ends the list.
    static std::optional<std::map<QString, QVariant>> parse(const QByteArray &data);
    // The raw _XSETTINGS_SETTINGS property of the default screen; nothing without an owner.
    static std::optional<QByteArray> readSettingsProperty();
};

} // namespace quillmere
