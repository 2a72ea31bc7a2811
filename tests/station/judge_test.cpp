// The verdict on captures of whole runs against the board model: the runs
// that update the board pass, and each fault planted in one fails the
// capture with its own reason, at its time.
#include "station_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace station;
using stationtest::failures;

Judgement judgeVcd(const std::string& vcd) {
    return judge(stationtest::wiresOf(vcd));
}

std::string failuresText(const Judgement& j) {
    std::string text;
    for (const Finding& f : j.findings) {
        text += f.fail ? f.text + "\n" : "";
    }
    return text;
}

std::vector<std::uint8_t> valuesOf(const Decoded& d) {
    std::vector<std::uint8_t> values;
    for (const Frame& f : d.frames) {
        values.push_back(f.value);
    }
    return values;
}

// The nth packet (from 1) of a kind.
const Packet& nth(const Session& s, Kind kind, int n) {
    for (const Packet& p : s.packets) {
        if (p.kind == kind && --n == 0) {
            return p;
        }
    }
    ADD_FAILURE() << "no such packet";
    return s.packets.front();
}

} // namespace

TEST(ModelCapture, FirstTryUpdateAt256000Passes) {
    const stationtest::Run& run = stationtest::updateRun();
    const Judgement j = judgeVcd(run.vcd);

    EXPECT_TRUE(j.pass()) << failuresText(j);
    // Every byte either end put on the line, decoded from the edges alone.
    EXPECT_EQ(valuesOf(j.txd), run.sent);
    EXPECT_EQ(valuesOf(j.rxd), run.received);
    // The PC's UART makes the ladder's rates; the board's makes 32.625 MHz
    // divided by 127 for 256000: 256889.8, 0.35 % fast.
    ASSERT_EQ(j.txd.stretches.size(), 2u);
    ASSERT_EQ(j.rxd.stretches.size(), 2u);
    EXPECT_NEAR(j.txd.stretches[0].rate, 38400, 20);
    EXPECT_NEAR(j.txd.stretches[1].rate, 256000, 100);
    EXPECT_NEAR(j.rxd.stretches[1].rate, 256889.8, 300);
    for (const Decoded* d : {&j.txd, &j.rxd}) {
        for (const Stretch& s : d->stretches) {
            EXPECT_EQ(s.errors, 0u);
            EXPECT_LT(s.worstEdge, 0.05); // 100 ns ticks: within 2.6 % of a bit
        }
    }
    const Session& s = j.session;
    ASSERT_EQ(s.pulses.size(), 2u);
    for (const Pulse& p : s.pulses) {
        EXPECT_NEAR(toMs(p.fall - p.rise), 50, 0.01);
        EXPECT_NEAR(toMs(p.nextByte - p.fall), 200, 0.01);
    }
    ASSERT_EQ(s.phases.size(), 2u);
    EXPECT_EQ(s.phases[0].role, Phase::Role::scan);
    EXPECT_EQ(s.phases[1].role, Phase::Role::attempt);
    EXPECT_EQ(s.phases[1].rate, 256000);
    EXPECT_GT(s.phases[1].blocks, 100u);
    for (const Packet& p : s.packets) {
        EXPECT_TRUE(p.complete && p.answered() && p.status() == 0) << describe(p);
    }
    // The sixth poll, 3 s after the core's start, sees it halted.
    ASSERT_GE(s.halted, 0);
    EXPECT_EQ(std::count_if(s.packets.begin(), s.packets.begin() + s.halted + 1,
                            [](const Packet& p) { return p.poll; }),
              6);
}

TEST(ModelCapture, UpdateThatClimbsDownTheLadderTo38400Passes) {
    const stationtest::Run& run = stationtest::ladderRun();
    const Judgement j = judgeVcd(run.vcd);

    EXPECT_TRUE(j.pass()) << failuresText(j);
    EXPECT_EQ(valuesOf(j.txd), run.sent);
    // The identity read at each rung above 38400 goes unanswered, and the
    // verdict says so without failing it.
    std::vector<double> rungs;
    for (const Stretch& s : j.txd.stretches) {
        if (ladderRateNear(s.rate) != 38400) {
            rungs.push_back(ladderRateNear(s.rate));
            EXPECT_EQ(s.frames, 5u);
            EXPECT_NEAR(s.rate / ladderRateNear(s.rate), 1, 0.002);
        }
    }
    EXPECT_EQ(rungs, (std::vector<double>{256000, 128000, 115200, 57600}));
    int steps = 0;
    for (const Finding& f : j.findings) {
        steps += f.text.find("the ladder steps down") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(steps, 4);
    ASSERT_EQ(j.session.phases.size(), 6u);
    EXPECT_EQ(j.session.phases[1].role, Phase::Role::attempt);
    for (std::size_t k = 2; k < 6; ++k) {
        EXPECT_EQ(j.session.phases[k].role, Phase::Role::ladderStep);
        EXPECT_EQ(j.session.phases[k].attempt, 1);
    }
    EXPECT_EQ(j.session.phases.back().rate, 38400);
    EXPECT_GE(j.session.halted, 0);
}

// Faults planted in the first-try update's capture by moving, adding or
// removing its edges; each edited capture is written back as a VCD and read
// again, as a station's would be.
class PlantedFault : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wires_ = new Wires(stationtest::wiresOf(stationtest::updateRun().vcd));
        base_ = new Judgement(judge(*wires_));
    }
    static void TearDownTestSuite() {
        delete wires_;
        delete base_;
    }
    static Judgement judgeEdited(const Wires& w) { return judgeVcd(stationtest::vcdOf(w)); }
    // The one failure the fault must cause, at its time: its text.
    static std::string expectOnly(const Judgement& j, const std::string& what, Time at) {
        const std::vector<Finding> found = failures(j, what);
        EXPECT_EQ(found.size(), 1u) << "no failure \"" << what << "\" in:\n" << failuresText(j);
        EXPECT_EQ(j.failures(), 1u) << failuresText(j);
        if (found.empty()) {
            return {};
        }
        EXPECT_NEAR(toMs(found[0].at), toMs(at), 0.01) << found[0].text;
        return found[0].text;
    }
    static Wires* wires_;
    static Judgement* base_;
};

Wires* PlantedFault::wires_ = nullptr;
Judgement* PlantedFault::base_ = nullptr;

TEST_F(PlantedFault, FaultsOnTheLinesAndTheirRates) {
    ASSERT_TRUE(base_->pass());
    const Pulse& reset = base_->session.pulses.at(1);
    {
        SCOPED_TRACE("a reset pulse of 30 ms");
        Wires w = *wires_;
        stationtest::shift(w.dtr, reset.fall, reset.fall + 1, -20 * millis);
        expectOnly(judgeEdited(w), "reset pulse of 30.0 ms (49 to 250 ms)", reset.rise);
    }
    {
        SCOPED_TRACE("a byte while DTR is up");
        Wires w = *wires_;
        stationtest::addByte(w.txd, reset.rise + 20 * millis, 0x55, 38400);
        const Judgement j = judgeEdited(w);
        EXPECT_EQ(failures(j, "1 byte on TXD while DTR was up").size(), 1u) << failuresText(j);
        // The board, held in reset, takes it for nothing; the verdict also
        // names it as a byte that starts no packet.
        EXPECT_EQ(failures(j, "byte 0x55 that starts no packet").size(), 1u);
        EXPECT_EQ(j.failures(), 2u) << failuresText(j);
    }
    const Stretch& replies = base_->rxd.stretches.at(1);
    {
        SCOPED_TRACE("the board's replies 3 % slower than 256000");
        Wires w = *wires_;
        stationtest::slowBursts(w.rxd, replies.first, replies.last, replies.rate / (0.97 * 256000));
        const std::string text =
            expectOnly(judgeEdited(w), ": -3.0 % against 256000 (2 % allowed)", replies.first);
        EXPECT_EQ(text.rfind("RXD stretch of 609 bytes at 2483", 0), 0u) << text;
    }
    {
        SCOPED_TRACE("1.5 % slower is within what a UART takes");
        Wires w = *wires_;
        stationtest::slowBursts(w.rxd, replies.first, replies.last,
                                replies.rate / (0.985 * 256000));
        const Judgement j = judgeEdited(w);
        EXPECT_TRUE(j.pass()) << failuresText(j);
        // The model's status bytes all begin on a tick of 100 ns and end
        // where the tick rounds them: a bias of 0.1 %.
        EXPECT_NEAR(j.rxd.stretches.at(1).rate, 0.985 * 256000, 0.0015 * 256000);
    }
}

TEST_F(PlantedFault, FaultsInTheExchanges) {
    {
        SCOPED_TRACE("the capture written back untouched");
        const Judgement j = judgeEdited(*wires_);
        EXPECT_TRUE(j.pass()) << failuresText(j);
        EXPECT_EQ(j.findings.size(), base_->findings.size());
    }
    {
        // The PC writes a block's header and its data with a drain between
        // them, which a USB chip's driver may stretch to tens of ms.
        SCOPED_TRACE("a block's data 40 ms after its header");
        Wires w = *wires_;
        const Packet& block = nth(base_->session, Kind::block, 150);
        const std::vector<Frame>& frames = base_->txd.frames;
        const auto header = std::find_if(frames.begin(), frames.end(), [&block](const Frame& f) {
            return f.start >= block.start;
        });
        ASSERT_LT(header + 6, frames.end());
        const Time data = (header + 6)->start;
        for (Signal* s : {&w.txd, &w.rxd, &w.dtr, &w.rts}) {
            stationtest::shift(*s, data, w.end + 1, 40 * millis);
        }
        w.end += 40 * millis;
        const Judgement j = judgeEdited(w);
        EXPECT_TRUE(j.pass()) << failuresText(j);
    }
    {
        SCOPED_TRACE("a pause of 4 ms after a block");
        Wires w = *wires_;
        const Packet& block = nth(base_->session, Kind::block, 100);
        const Packet* next = &block + 1;
        ASSERT_EQ(block.next, next->start);
        stationtest::shift(w.txd, next->start, next->end, block.end + 4 * millis - next->start);
        char what[120];
        std::snprintf(what, sizeof what,
                      "the PC's next act 4.0 ms after the block 0x%08X, 256 words: the pause is "
                      "10 ms",
                      block.address);
        expectOnly(judgeEdited(w), what, block.end);
    }
    {
        SCOPED_TRACE("no status after a block");
        Wires w = *wires_;
        const Packet& block = nth(base_->session, Kind::block, 200);
        ASSERT_EQ(block.reply.size(), 1u);
        stationtest::erase(w.rxd, block.replyStart, block.replyEnd);
        char what[120];
        std::snprintf(what, sizeof what,
                      "no reply to the block 0x%08X, 256 words (1 byte expected within 70 ms)",
                      block.address);
        expectOnly(judgeEdited(w), what, block.start);
    }
    {
        SCOPED_TRACE("the capture ends in the middle of the transfer");
        Wires w = *wires_;
        const Packet& block = nth(base_->session, Kind::block, 300);
        stationtest::cut(w, block.start + 5 * millis);
        const Judgement j = judgeEdited(w);
        EXPECT_EQ(failures(j, "the update did not end with the core halted; the last thing seen: "
                              "incomplete block ")
                      .size(),
                  1u)
            << failuresText(j);
        EXPECT_EQ(j.failures(), 1u) << failuresText(j);
    }
}

// A PC whose read gives up 100 ms after the identity read at a new rate,
// before the window of 260 ms: a board that answers late is never heard.
TEST(PlantedLadderFault, PcThatGivesUpBeforeTheReplyWindowFails) {
    Wires w = stationtest::wiresOf(stationtest::ladderRun().vcd);
    const Judgement base = judge(w);
    ASSERT_TRUE(base.pass());
    const Packet* unanswered = nullptr;
    for (const Packet& p : base.session.packets) {
        if (p.newRate && p.reply.empty()) {
            unanswered = &p;
            break;
        }
    }
    ASSERT_NE(unanswered, nullptr);
    // Everything after the packet 160 ms earlier.
    const Time gaveUp = unanswered->end + 100 * millis;
    for (Signal* s : {&w.txd, &w.rxd, &w.dtr, &w.rts}) {
        stationtest::shift(*s, unanswered->next, w.end + 1, gaveUp - unanswered->next);
    }
    const Judgement j = judgeVcd(stationtest::vcdOf(w));
    const std::vector<Finding> found =
        failures(j, "the PC gave up 100.0 ms after the unanswered read aux 0x4 (identity), before "
                    "its reply window of 260 ms");
    ASSERT_EQ(found.size(), 1u) << failuresText(j);
    EXPECT_NEAR(toMs(found[0].at), toMs(gaveUp), 0.01);
    EXPECT_EQ(j.failures(), 1u) << failuresText(j);
}
