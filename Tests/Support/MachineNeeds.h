#pragma once

#include <QString>
#include <gtest/gtest.h>

#include <string>

namespace quillmere::test {

// Something a test needs of the machine itself, which the README does not ask of a developer's
// machine. Empty `what` where it is there. A `remedy` says how to provide it; without one the
// lack is a fault of the test's own setup, which fails the test wherever it runs.
struct MachineNeed {
    QString what;
    QString remedy;
};

// The variable under which a test that would skip for its machine fails instead; CI sets it so
// that no skip goes unseen there.
inline constexpr char everyTestRequiredVariable[] = "QUILLMERE_REQUIRE_ALL_TESTS";

bool everyTestRequired();
// The one line a test that cannot run here prints: what is missing, and how to provide it.
std::string skipLine(const MachineNeed &need);
std::string failureLine(const MachineNeed &need);

} // namespace quillmere::test

// Ends the test where `need` is missing: skipped, saying so on one line, or failed where the lack
// is no machine's or every test is required. Only in a test's body, as GTEST_SKIP.
#define QUILLMERE_SKIP_WITHOUT(need)                                                                                   \
    switch (0)                                                                                                         \
    case 0:                                                                                                            \
    default:                                                                                                           \
        if (const ::quillmere::test::MachineNeed quillmereNeed_ = (need); quillmereNeed_.what.isEmpty()) {             \
        } else if (quillmereNeed_.remedy.isEmpty() || ::quillmere::test::everyTestRequired())                          \
            FAIL() << ::quillmere::test::failureLine(quillmereNeed_);                                                  \
        else                                                                                                           \
            GTEST_SKIP() << ::quillmere::test::skipLine(quillmereNeed_)
