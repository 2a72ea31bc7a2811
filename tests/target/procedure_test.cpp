// The procedures that halt, prepare, start and stop the core: the exact
// packets each one sends, its console text and its result, on a healthy core
// and on the failures that change the course.
#include "link/link_test_support.h"

#include <functional>

using namespace linktest;
namespace cmd = sim::cmd;
namespace reg = sim::reg;

namespace {

struct Case {
    const char* name;
    std::function<void(sim::Board&)> fault;
    std::int32_t result;
    std::string text; // standard output
    std::string ops;
    std::function<void(const sim::Board&)> after = nullptr;
};

class Procedure : public Link {
  protected:
    static void expectCases(const std::function<std::int32_t()>& procedure,
                            const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            sim::resetWorld();
            sim::Board& b = openBoard();
            if (c.fault) {
                c.fault(b);
            }
            EXPECT_EQ(procedure(), c.result);
            EXPECT_EQ(sim::stdoutText(), c.text);
            EXPECT_EQ(ops(b), c.ops);
            if (c.after) {
                c.after(b);
            }
        }
    }
};

// The read and the pc setting that open a pass of the stepping at address a.
std::string passStart(std::uint32_t a) {
    return fmt("rM%x A0=%x ", a, (a >> 2) | reg::haltBit);
}
std::string pass(std::uint32_t a, int steps = 1) {
    return passStart(a) + repeat("A5=801 rA0 ", steps);
}
std::string clearing(std::uint32_t writes) {
    std::string out;
    for (std::uint32_t i = 0; i < writes; ++i) {
        out += fmt("C%x=0 ", 4 * i);
    }
    return out;
}

const std::string phase1 = "A48=20 A4b=1 A48=3 A5=2 A0=2000000 B100000x16 A10=1 ";
const std::string phase3Halt = "A10=1 A5=2 ";
const std::string phase3 = phase3Halt + clearing(32) + "C3c=0 A2=0 A3=0 ";
// A read packet goes out 30 ms after an invalidation's packet has arrived:
// the write's 20 ms, then 10 ms for the cache.
const sim::Nanos afterInvalidation = sim::ms(30) + sim::detail::lineTime(38400, 5);

TEST_F(Procedure, InitHaltsProvesR1AndRestoresIt) {
    expectCases(arcInit,
                {{"healthy", [](sim::Board& b) { b.setCore(reg::r1, 0xA1B2C3D4); }, 0, "",
                  "A5=2 rC1 C1=12345678 rC1 C1=a1b2c3d4 "},
                 {"r1 reads back wrong", [](sim::Board& b) { b.faults.r1NoReadback = true; }, -2,
                  "", "A5=2 rC1 C1=12345678 rC1 "},
                 {"r1 read refused", [](sim::Board& b) { b.failNth(cmd::readCore, 1, 7); }, 7, "",
                  "A5=2 rC1 "},
                 {"silent", silence, 2, "", "A5=2 "}});
}

TEST_F(Procedure, PrepareForDownload) {
    std::string sixteenPasses;
    for (std::uint32_t a = 0x100000; a < 0x100040; a += 4) {
        sixteenPasses += pass(a);
    }
    const auto healthy = [](const sim::Board& b) {
        Bytes nops{8, 0, 0, 0x10, 0, 15};
        for (int i = 0; i < 16; ++i) {
            nops.insert(nops.end(), {0xFF, 0xFF, 0xFF, 0x7F});
        }
        EXPECT_EQ(b.packetsOf(cmd::writeBlock).at(0).raw, nops);
        EXPECT_EQ(b.packets().at(7).time - b.packets()[6].time, afterInvalidation);
    };
    const auto stepOnceToAPlus8 = [](sim::Board& b) {
        b.faults.stepAdvance = 8;
        b.onPacket = [&b](const sim::Packet& p) {
            if (p.command == cmd::writeAux && p.address == reg::debug && p.value == 0x801) {
                b.faults.stepAdvance = 4;
            }
        };
    };
    const auto lpRefused = [](sim::Board& b) {
        failAt(b, cmd::writeAux, reg::lpStart, 1, 1);
        failAt(b, cmd::writeAux, reg::lpEnd, 1, 4);
    };
    expectCases(
        [] { return arcPrepareForDownload(0x100000); },
        {{"healthy", nullptr, 0, "", phase1 + pass(0x100000) + phase3, healthy},
         {"phase 1 refused", [](sim::Board& b) { b.failNth(cmd::writeAux, 1, 9); }, 0, "",
          phase1 + pass(0x100000) + phase3},
         {"silent", silence, -2, "{NoNop}", phase1 + "rM100000 "},
         {"pc setting refused", [](sim::Board& b) { failAt(b, cmd::writeAux, reg::status, 2, 3); },
          -3, "{StepErr3}", phase1 + passStart(0x100000)},
         {"step refused", [](sim::Board& b) { failAt(b, cmd::writeAux, reg::debug, 2, 3); }, -4,
          "{StepErr4}", phase1 + passStart(0x100000) + "A5=801 "},
         {"status read refused", [](sim::Board& b) { b.failNth(cmd::readAux, 1, 3); }, -5,
          "{StepErr5}", phase1 + pass(0x100000)},
         {"pc never advances", [](sim::Board& b) { b.faults.pcNeverAdvances = true; }, -4,
          "{StepStuck}", phase1 + pass(0x100000, 16)},
         {"one step lands elsewhere", stepOnceToAPlus8, 0, "",
          phase1 + pass(0x100000) + pass(0x100004) + phase3},
         {"no step advances by one word", [](sim::Board& b) { b.faults.stepAdvance = 8; }, 0, "",
          phase1 + sixteenPasses + phase3},
         {"invalidation after stepping refused",
          [](sim::Board& b) { failAt(b, cmd::writeAux, reg::icIvic, 2, 4); }, -6, "{StepErr6}",
          phase1 + pass(0x100000) + phase3Halt},
         {"halt after stepping refused",
          [](sim::Board& b) { failAt(b, cmd::writeAux, reg::debug, 3, 4); }, -6, "{StepErr6}",
          phase1 + pass(0x100000) + phase3Halt},
         {"eleventh register refused", [](sim::Board& b) { b.failNth(cmd::writeCore, 11, 3); }, -6,
          "{InitErr\n}", phase1 + pass(0x100000) + phase3Halt + clearing(11)},
         {"loop registers refused", lpRefused, 5, "", phase1 + pass(0x100000) + phase3}});
    expectCases([] { return arcPrepareForDownload(0x100002); },
                {{"entry off a word", nullptr, -2, "{NoNop}",
                  "A48=20 A4b=1 A48=3 A5=2 A0=2000000 A10=1 rM100002 "}});
}

TEST_F(Procedure, StartProgramAt) {
    const std::string before = "A0=2040000 A10=1 rA0 ";
    expectCases(
        [] { return arcStartProgramAt(0x100000); },
        {{"healthy", nullptr, 0, "", before + "A5=801 rA0 A0=40001 ",
          [](const sim::Board& b) {
              EXPECT_EQ(b.packets().at(2).time - b.packets()[1].time, afterInvalidation);
          }},
         {"status never changes", [](sim::Board& b) { b.faults.pcNeverAdvances = true; }, 0,
          " error\n", before + repeat("A5=801 rA0 ", 4) + "A0=40000 "},
         {"a step changes a flag only", [](sim::Board& b) { b.faults.stepFlagOnly = true; }, 0, "",
          before + "A5=801 rA0 A0=80040000 "},
         {"status read after a step refused", [](sim::Board& b) { b.failNth(cmd::readAux, 2, 3); },
          3, " error\n", before + "A5=801 rA0 A0=40000 "},
         {"invalidation refused",
          [](sim::Board& b) { failAt(b, cmd::writeAux, reg::icIvic, 1, 6); }, 6, "",
          "A0=2040000 A10=1 "},
         {"silent", silence, 2, "", "A0=2040000 A10=1 "}});
}

TEST_F(Procedure, StopSendsBothWritesWhateverTheFirstAnswers) {
    const auto bothRefused = [](sim::Board& b) {
        b.failNth(cmd::writeAux, 1, 4);
        b.failNth(cmd::writeAux, 2, 1);
    };
    expectCases(arcStopProgram, {{"healthy", nullptr, 0, "", "A5=2 A0=2000000 "},
                                 {"both refused", bothRefused, 5, "", "A5=2 A0=2000000 "}});
}

} // namespace
