#pragma once

#include "Quillmere/Onboarding/OnboardingStep.h"

#include <QColor>
#include <QString>
#include <vector>

namespace quillmere {

class OnboardingFlow;

// What each page shows for the flow's present state, as words, symbols and colours; the
// widgets only draw it.
namespace OnboardingContent {

struct Header {
    QString eyebrow;
    QString title;
    QString subtitle;
};

// A row's trailing part: nothing, a status pill or a button.
struct Accessory {
    enum class Kind { none, pill, button };
    Kind kind = Kind::none;
    QString title;
    QString systemImage; // pill only
    QColor colour;       // pill only
};

struct Row {
    QString title;
    QString subtitle;
    QString systemImage;
    QColor tint;
    Accessory accessory;
};

struct SummaryLine {
    QString title;
    QString value;
    QString systemImage;
    QColor tint;
};

// The panel's hot key as this desktop writes it.
QString panelHotKeyText();

Header header(OnboardingStep step);
Row captureRow(const OnboardingFlow &flow);
Row privateByDefaultRow();
Row screenCaptureRow(const OnboardingFlow &flow);
Row accessibilityRow(const OnboardingFlow &flow);
Row purposeRow();
Row cloudRow(const OnboardingFlow &flow);
Row freshnessRow(const OnboardingFlow &flow);
Row openHotkeyRow();
Row coreLoopRow();
std::vector<SummaryLine> summary(const OnboardingFlow &flow);
// The picker's entries: title and stored value.
std::vector<std::pair<QString, QString>> firstViewChoices();

} // namespace OnboardingContent

} // namespace quillmere
