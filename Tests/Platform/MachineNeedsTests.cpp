// What a test does where the machine lacks what it needs: skips saying so on one line, or fails
// where every test is required or the lack is no machine's.
#include "Support/MachineNeeds.h"
#include "Support/PrivateMounts.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>
#include <vector>

using namespace quillmere::test;
using Result = ::testing::TestPartResult;

namespace {

void endWithout(const MachineNeed &need, bool *ranOn)
{
    *ranOn = false;
    QUILLMERE_SKIP_WITHOUT(need);
    *ranOn = true;
}

// What `need` makes of a test, with QUILLMERE_REQUIRE_ALL_TESTS set or not; the variable is put
// back as it was (CI sets it).
std::vector<Result> resultsOf(const MachineNeed &need, bool everyTestRequired, bool *ranOn)
{
    const QByteArray before = qgetenv(everyTestRequiredVariable);
    const bool wasSet = qEnvironmentVariableIsSet(everyTestRequiredVariable);
    if (everyTestRequired)
        qputenv(everyTestRequiredVariable, "1");
    else
        qunsetenv(everyTestRequiredVariable);
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        endWithout(need, ranOn);
    }
    if (wasSet)
        qputenv(everyTestRequiredVariable, before);
    else
        qunsetenv(everyTestRequiredVariable);
    std::vector<Result> parts;
    for (int i = 0; i < results.size(); ++i)
        parts.push_back(results.GetTestPartResult(i));
    return parts;
}

} // namespace

TEST(MachineNeeds, AMissingNeedSkipsWithOneLineAndFailsWhereEveryTestIsRequired)
{
    bool ranOn = false;
    EXPECT_TRUE(resultsOf({}, true, &ranOn).empty());
    EXPECT_TRUE(ranOn) << "nothing missing: the test goes on";

    const MachineNeed missing{QStringLiteral("no tmpfs\nhere"), QStringLiteral("mount one")};
    const auto skipped = resultsOf(missing, false, &ranOn);
    EXPECT_FALSE(ranOn);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].type(), Result::kSkip);
    EXPECT_STREQ(skipped[0].message(), "skipped, because no tmpfs here; mount one");

    const auto failed = resultsOf(missing, true, &ranOn);
    EXPECT_FALSE(ranOn);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].type(), Result::kFatalFailure);
    EXPECT_STREQ(failed[0].message(),
                 "Failed\nno tmpfs here; mount one (QUILLMERE_REQUIRE_ALL_TESTS is set, so this test may not skip)");

    // A lack with no remedy is the test's own fault, on any machine.
    const auto fault = resultsOf({QStringLiteral("main() set nothing up"), {}}, false, &ranOn);
    EXPECT_FALSE(ranOn);
    ASSERT_EQ(fault.size(), 1u);
    EXPECT_EQ(fault[0].type(), Result::kFatalFailure);
    EXPECT_STREQ(fault[0].message(), "Failed\nmain() set nothing up");
}

// An account the user database does not know (a directory service out of reach) is named by its
// uid, never as an empty name.
TEST(MachineNeeds, ASkipLineNamesAnAccountWithoutANameByItsUid)
{
    uid_t unknown = 3999999999u;
    while (::getpwuid(unknown) && unknown > 3999990000u)
        --unknown;
    ASSERT_EQ(::getpwuid(unknown), nullptr);
    EXPECT_TRUE(PrivateMounts::accountName(unknown).contains(QString::number(unknown)));
}
