#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace quillmere {

class NotificationCenter;

// The panes of the settings window, in sidebar order. The raw value is the case name.
enum class SettingsPane { general, tabs, capture, permissions, privacy, automation, sync, progress, data, about };

QString rawValue(SettingsPane pane);
// Exactly the ten raw values, case-sensitive.
std::optional<SettingsPane> settingsPaneFromRaw(const QString &raw);
const QList<SettingsPane> &allSettingsPanes();
QString title(SettingsPane pane);
QString systemImage(SettingsPane pane);

// Code that wants the open settings window to show a pane leaves it here and posts
// `notification`; the window takes it out. A request nobody hears waits for the next opening.
class SettingsPaneRequests {
public:
    static inline const QString notification = QStringLiteral("quillmere.settingsPaneRequested");

    explicit SettingsPaneRequests(NotificationCenter &center) : m_center(center) {}

    void request(SettingsPane pane);
    // The waiting pane, once; the slot is empty afterwards.
    std::optional<SettingsPane> take();
    NotificationCenter &center() const { return m_center; }

private:
    NotificationCenter &m_center;
    std::optional<SettingsPane> m_pending;
};

} // namespace quillmere
