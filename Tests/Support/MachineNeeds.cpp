#include "Support/MachineNeeds.h"

namespace quillmere::test {

namespace {

// One line, whatever the reason's own text held.
std::string oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).toStdString();
}

} // namespace

bool everyTestRequired()
{
    return !qEnvironmentVariableIsEmpty(everyTestRequiredVariable);
}

std::string skipLine(const MachineNeed &need)
{
    return oneLine(QStringLiteral("skipped, because %1; %2").arg(need.what, need.remedy));
}

std::string failureLine(const MachineNeed &need)
{
    if (need.remedy.isEmpty())
        return oneLine(need.what);
    return oneLine(QStringLiteral("%1; %2 (%3 is set, so this test may not skip)")
                       .arg(need.what, need.remedy, QLatin1String(everyTestRequiredVariable)));
}

} // namespace quillmere::test
