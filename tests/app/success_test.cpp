// A first-try update of the board with the image that this deliverable
// carries: the whole run from the scan to "exit now...", its console text, the
// target memory afterwards and the virtual time that it took.
#include "app/dialogue.h"
#include "app_test_support.h"

#include <algorithm>
#include <cstdio>

namespace {

using apptest::Segment;

// The shortest time the run can take: the PC waits while every byte that it
// sends is on the line, while the replies to read packets come in (they
// follow with no pause, at the board's rate) and for the fixed pauses. Status
// bytes travel within the pause after their packet.
struct Floor {
    sim::Nanos line = 0, pauses = 0;
};

Floor floorOf(const sim::PortLog& log, const sim::Board& board, int polls) {
    sim::Nanos line = 0;
    for (const sim::WriteRecord& w : log.writes) {
        line += w.end - w.start;
    }
    std::size_t a = 0;
    for (const sim::ReadRecord& read : log.reads) {
        for (; a < log.arrivals.size() && log.arrivals[a].end <= read.end; ++a) {
            if (read.requested == 5 && log.arrivals[a].end > read.start) {
                line += log.arrivals[a].end - log.arrivals[a].start;
            }
        }
    }
    const auto resets = std::count_if(log.dtrChanges.begin(), log.dtrChanges.end(),
                                      [](const sim::DtrRecord& d) { return d.high; });
    sim::Nanos t = resets * sim::ms(50 + 200) + sim::ms(500) + polls * sim::ms(500);
    for (const sim::Packet& p : board.packets()) {
        if (p.command <= sim::cmd::writeAux) {
            t += sim::ms(20);
        }
        if (p.command == sim::cmd::writeAux && p.address == sim::reg::icIvic) {
            t += sim::ms(10); // the instruction cache settles
        }
        if (p.command == sim::cmd::writeBlock) {
            t += sim::ms(10);
        }
        if (p.command == sim::cmd::setBaud) {
            t += sim::ms(100);
        }
    }
    return {line, t};
}

std::size_t firstDifference(const std::vector<std::uint8_t>& a, const unsigned char* b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b).first - a.begin());
}

class FirstTrySuccess : public apptest::World {};

TEST_F(FirstTrySuccess, APPTEST_IMAGE) {
    sim::Board& board = this->board(1);

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), apptest::successfulRun());
    const std::vector<Segment> segments = apptest::segments();
    ASSERT_EQ(segments.size(), apptest::starsPerSegment().size());

    // Every segment byte for byte, nothing between p_filesz and p_memsz, and
    // nothing else but the no-operation block at the entry and the three
    // watchdog words.
    const std::uint64_t written = board.writtenOutside({});
    std::vector<sim::Range> allowed = {{apptest::entry, apptest::entry + 64},
                                       {0x08380010, 0x08380014},
                                       {0x08380030, 0x08380034},
                                       {0x0838003C, 0x08380040}};
    for (const Segment& s : segments) {
        const std::vector<std::uint8_t> memory = board.readMemory(s.vaddr, s.filesz);
        const std::size_t at = firstDifference(memory, firmwareImage.elfFile + s.offset);
        EXPECT_EQ(at, memory.size())
            << "segment at " << std::hex << s.vaddr << " differs at +" << at;
        allowed.push_back({s.vaddr, std::uint64_t{s.vaddr} + s.filesz});
        EXPECT_EQ(board.writtenOutside({{allowed.back().second, std::uint64_t{s.vaddr} + s.memsz}}),
                  written);
    }
    EXPECT_EQ(board.writtenOutside(allowed), 0u);
    EXPECT_EQ(board.readWord(0x08380010), 0x80u);
    EXPECT_EQ(board.readWord(0x08380030), 0x80u);
    EXPECT_EQ(board.readWord(0x0838003C), 0x8080u);
    ASSERT_EQ(board.releases().size(), 1u);

    const sim::Nanos took = sim::now();
    const Floor parts = floorOf(sim::portLog(1), board, apptest::pollsToHalt);
    const sim::Nanos floor = parts.line + parts.pauses;
    std::printf("%s: whole run %.3f ms of virtual time at 256000 baud, floor %.3f ms "
                "(line %.3f ms, pauses %.3f ms)\n",
                APPTEST_DELIVERABLE, sim::toMs(took), sim::toMs(floor), sim::toMs(parts.line),
                sim::toMs(parts.pauses));
    RecordProperty("virtual_ms", std::to_string(sim::toMs(took)));
    RecordProperty("floor_ms", std::to_string(sim::toMs(floor)));
    EXPECT_GE(took, floor);
    // No read waits for a time-out and nothing waits beyond its pause.
    EXPECT_LT(took - floor, sim::ms(1));
}

} // namespace
