// The transfer ends as cancelled from every point where the transmitter waits: a receiver's
// CAN CAN, or the operator's cancel (the message the component's CancelTransfer sends).
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "engine_harness.h"

namespace kavo::test {
namespace {

const std::vector<std::uint8_t> cancelSequence = {0x18, 0x18, 0x18, 0x08, 0x08, 0x08};

struct WaitPoint {
    std::string name;
    std::size_t fileSize;
    std::function<void(EngineHarness&)> reach;  // from the start to the wait
    TXmodemState state;                          // the state the transmitter waits in
};

const std::vector<WaitPoint>& WaitPoints() {
    static const std::vector<WaitPoint> points = {
        {"handshake", 3000, [](EngineHarness&) {}, txHandshake},
        {"reply to a 1K block", 3000,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             h.Drained();
         },
         txRplyPnding},
        {"reply to a repeated 1K block (fall-back under way)", 3000,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             for (int i = 0; i < 3; ++i) h.Answer(cNak);
             h.Drained();
         },
         txRplyPnding},
        {"reply to a 128-byte block (after the fall-back)", 3000,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             for (int i = 0; i < 6; ++i) h.Answer(cNak);
             h.Drained();
         },
         txRplyPnding},
        {"reply to a checksum block", 3000,
         [](EngineHarness& h) {
             h.Reply({cNak});
             h.Drained();
         },
         txRplyPnding},
        {"reply to the last block", 10,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             h.Drained();
         },
         txRplyPnding},
        {"reply to the EOT", 10,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             h.Answer(cAck);
         },
         txEotReply},
        {"reply to a repeated EOT", 10,
         [](EngineHarness& h) {
             h.Reply({cCrcStart});
             h.Answer(cAck);
             h.Reply({cNak});
         },
         txEotReply},
    };
    return points;
}

class CancelAtEveryWait : public ::testing::TestWithParam<WaitPoint> {
protected:
    void SetUp() override {
        const auto& point = GetParam();
        h.Start(folder.Write("firmware.bin", PatternBytes(point.fileSize)));
        point.reach(h);
        ASSERT_FALSE(h.reports.finish.has_value()) << "ended before the wait";
        ASSERT_EQ(h.data->XmodemState, point.state);
        h.TakeSent();
    }
    // The transfer is over as cancelled, and no trigger outlives it.
    void ExpectCancelled() {
        ASSERT_TRUE(h.reports.finish.has_value());
        EXPECT_EQ(*h.reports.finish, -6005);
        EXPECT_FALSE(h.data->Started);
        EXPECT_TRUE(h.line.triggers.empty());
    }
    TempFolder folder;
    EngineHarness h;
};

TEST_P(CancelAtEveryWait, ReceiversCanCanEndsTheTransfer) {
    h.Reply({cCan, cCan});
    ExpectCancelled();
    EXPECT_TRUE(h.reports.errors.empty()) << "a receiver's cancel is no line error";
}

TEST_P(CancelAtEveryWait, OperatorsCancelSendsTheCancelSequenceAndEnds) {
    EXPECT_TRUE(h.Step(ProtocolCancelMsg, 0));
    EXPECT_EQ(h.TakeSent(), cancelSequence);
    ExpectCancelled();
}

INSTANTIATE_TEST_SUITE_P(Waits, CancelAtEveryWait, ::testing::ValuesIn(WaitPoints()),
                         [](const auto& info) {
                             std::string name;
                             for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
}  // namespace kavo::test
