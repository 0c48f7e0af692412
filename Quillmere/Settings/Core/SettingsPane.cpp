#include "Quillmere/Settings/Core/SettingsPane.h"

#include "Quillmere/Platform/Core/NotificationCenter.h"

namespace quillmere {
namespace {

struct PaneFacts {
    SettingsPane pane;
    const char *raw;
    const char *title;
    const char *symbol;
};

constexpr PaneFacts kPanes[] = {
    {SettingsPane::general, "general", "General", "slider.horizontal.3"},
    {SettingsPane::tabs, "tabs", "Tabs", "rectangle.split.3x1"},
    {SettingsPane::capture, "capture", "Capture", "camera.viewfinder"},
    {SettingsPane::permissions, "permissions", "Permissions", "hand.raised.fill"},
    {SettingsPane::privacy, "privacy", "Privacy", "shield.lefthalf.filled"},
    {SettingsPane::automation, "automation", "Automation", "wand.and.stars"},
    {SettingsPane::sync, "sync", "Sync", "icloud.fill"},
    {SettingsPane::progress, "progress", "Progress", "rosette"},
    {SettingsPane::data, "data", "Data", "externaldrive.fill"},
    {SettingsPane::about, "about", "About", "info.circle.fill"},
};

const PaneFacts &facts(SettingsPane pane)
{
    return kPanes[int(pane)];
}

} // namespace

QString rawValue(SettingsPane pane)
{
    return QString::fromLatin1(facts(pane).raw);
}

std::optional<SettingsPane> settingsPaneFromRaw(const QString &raw)
{
    for (const PaneFacts &f : kPanes)
        if (raw == QLatin1String(f.raw))
            return f.pane;
    return std::nullopt;
}

const QList<SettingsPane> &allSettingsPanes()
{
    static const QList<SettingsPane> all = [] {
        QList<SettingsPane> out;
        for (const PaneFacts &f : kPanes)
            out << f.pane;
        return out;
    }();
    return all;
}

QString title(SettingsPane pane)
{
    return QString::fromLatin1(facts(pane).title);
}

QString systemImage(SettingsPane pane)
{
    return QString::fromLatin1(facts(pane).symbol);
}

void SettingsPaneRequests::request(SettingsPane pane)
{
    m_pending = pane;
    m_center.post(notification);
}

std::optional<SettingsPane> SettingsPaneRequests::take()
{
    return std::exchange(m_pending, std::nullopt);
}

} // namespace quillmere
