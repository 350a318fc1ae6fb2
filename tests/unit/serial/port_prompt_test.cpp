// The port prompt's rules, apart from any dialog: which entries it lists and what its result gives.
#include "serial/port_prompt.h"

#include "serial/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kavo {
namespace {

TEST(PortPromptRules, ListsAvailablePortsOneToFiftyInAscendingOrder) {
    std::vector<int> probed;
    const std::set<int> present{51, 7, 3, 1, 50};
    auto available = [&](int n) {
        probed.push_back(n);
        return present.count(n) > 0;
    };
    EXPECT_EQ(PromptPortEntries(available),
              (std::vector<std::string>{"COM1", "COM3", "COM7", "COM50"}));
    ASSERT_EQ(probed.size(), 50u);
    EXPECT_EQ(probed.front(), 1);
    EXPECT_EQ(probed.back(), 50);
    EXPECT_TRUE(PromptPortEntries([](int) { return false; }).empty());
}

TEST(PortPromptRules, EntryNumbersUseEveryDigitAfterThePrefix) {
    EXPECT_EQ(ComNumberOfEntry("COM1"), 1);
    EXPECT_EQ(ComNumberOfEntry("COM12"), 12);
    EXPECT_EQ(ComNumberOfEntry("COM007"), 7);
    for (const char* bad : {"", "COM", "COMx", "COM1a", "COM-", "COM1234567890"}) {
        EXPECT_THROW(ComNumberOfEntry(bad), EConvertError) << bad;
    }
    try {
        ComNumberOfEntry("COMx1");
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
}

TEST(PortPromptRules, OnlyOkGivesANumber) {
    EXPECT_EQ(PromptAnswer(mrOk, "COM8"), 8);
    EXPECT_EQ(PromptAnswer(mrAbort, "COM8"), std::nullopt);
    EXPECT_EQ(PromptAnswer(mrCancel, "COM8"), std::nullopt);
    EXPECT_EQ(PromptAnswer(mrNone, "COM8"), std::nullopt);
    EXPECT_THROW(PromptAnswer(mrOk, ""), EConvertError) << "OK with an empty list";
}

}  // namespace
}  // namespace kavo
