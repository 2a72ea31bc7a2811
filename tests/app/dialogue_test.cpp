// Whole runs of the program that go off the straight road: a slow board,
// failed attempts, retries, a core that never halts, boards on later ports
// and no board at all.
#include "app/dialogue.h"
#include "app_test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace {

using namespace apptest;

// Five attempts whose arcInit fails at the first rate.
std::string fiveFailedAttempts() {
    std::string text;
    for (int made = 1; made <= 5; ++made) {
        text += "reset device\n" + retry(made);
    }
    return text;
}

class Run : public World {};

TEST_F(Run, BoardThatAnswersOnlyAt38400IsUpdatedAtThatRate) {
    board().faults.maxBaud = 38400;

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), successfulRun(checkLine(1, true), 38400));
    EXPECT_EQ(sim::pcSettings(1).BaudRate, 38400u);
}

// A whole update behind each USB serial chip: the replies reach the port in
// the chip's pieces and, through the FT232R, up to one latency period late.
// The program reads every reply whole, so the console text and the bytes on
// the wire are those of a run over a UART; the chips without a timer cost no
// time, the FT232R at most its period a read. At 1 ms some five-byte replies
// come in two pieces.
TEST_F(Run, UpdateBehindEachAdaptersChipReadsEveryReplyWhole) {
    struct Result {
        std::vector<std::uint8_t> sent;
        sim::Nanos took = 0;
        std::int64_t reads = 0;
        int partPieces = 0; // of two to four bytes: a five-byte reply split
    };
    const auto update = [](sim::AdapterChip chip, sim::Nanos latency) {
        sim::resetWorld();
        board();
        sim::portSetup(1).chip = chip;
        sim::portSetup(1).latencyTimer = latency;
        EXPECT_EQ(updaterMain(), 0);
        EXPECT_EQ(sim::transcript(), successfulRun());
        const sim::PortLog& log = sim::portLog(1);
        Result r{log.sentBytes(), sim::now(), std::ssize(log.reads), 0};
        for (const sim::PieceRecord& p : log.pieces) {
            r.partPieces += p.bytes.size() >= 2 && p.bytes.size() <= 4 ? 1 : 0;
        }
        return r;
    };
    const Result uart = update(sim::AdapterChip::none, 0);
    EXPECT_EQ(uart.partPieces, 0);
    for (const sim::AdapterChip chip :
         {sim::AdapterChip::ch340, sim::AdapterChip::cp2102, sim::AdapterChip::pl2303}) {
        SCOPED_TRACE(static_cast<int>(chip));
        const Result r = update(chip, 0);
        EXPECT_EQ(r.sent, uart.sent);
        EXPECT_EQ(r.took, uart.took);
    }
    for (const sim::Nanos latency : {sim::ms(1), sim::ms(16)}) {
        SCOPED_TRACE(sim::toMs(latency));
        const Result r = update(sim::AdapterChip::ft232r, latency);
        EXPECT_EQ(r.sent, uart.sent);
        EXPECT_GT(r.took, uart.took);
        EXPECT_LE(r.took - uart.took, r.reads * latency);
        if (latency == sim::ms(1)) {
            EXPECT_GT(r.partPieces, 0);
        }
    }
}

// A USB adapter whose line stops taking bytes for 3 s in the middle of the
// transfer, to a board whose UART runs at 38400 only: the block's drain runs
// out of time and throws the queue away, the attempt fails, the next one
// meets the line still stopped, and the third updates the board.
TEST_F(Run, LineThatStopsTakingBytesForAWhileCostsAttemptsUntilItTakesThemAgain) {
    sim::Board& b = board();
    b.faults.maxBaud = 38400;
    sim::portSetup(1).drainEndsBeforeLine = true;
    int blocks = 0;
    b.onPacket = [&blocks](const sim::Packet& p) {
        if (p.command == sim::cmd::writeBlock && ++blocks == 20) {
            sim::stopTakingBytes(1, sim::ms(3000));
        }
    };

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), checkLine(1, true) + "\n" + connect(38400) +
                                     "\n transfer: " + ruler + repeat('*', 19) + retry(1) +
                                     "reset device\n" + retry(2) + connect(38400) + transfer() +
                                     update(pollsToHalt) + exitNow);
    EXPECT_GT(sim::portLog(1).thrownAway, 0u);
    b.onPacket = nullptr;
}

TEST_F(Run, HaltThatFailsAtTheSecondRateEndsTheAttemptAfterTwoSeconds) {
    sim::Board& b = board();
    b.faults.maxBaud = 128000;
    refuseAuxWrite(b, sim::reg::debug, 2);

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), checkLine(1, true) + "\nreset device\n" + speed(256000) +
                                     " failed\n" + retry(1) + connect(128000) + transfer() +
                                     update(pollsToHalt) + exitNow);
    // 256000 in the first attempt, then 256000 and 128000 in the second.
    std::vector<std::uint32_t> divisors;
    for (const sim::Packet& p : b.packetsOf(sim::cmd::setBaud)) {
        divisors.push_back(p.value);
    }
    EXPECT_EQ(divisors, (std::vector<std::uint32_t>{126, 126, 254}));
    const std::vector<sim::Nanos> pauses = pausesAfterRefusals(b);
    ASSERT_EQ(pauses.size(), 1u);
    EXPECT_GE(pauses[0], sim::ms(2000));
    EXPECT_LT(pauses[0], sim::ms(2050));
}

TEST_F(Run, RetryAfterFiveFailedAttemptsScansAgainFromCom1) {
    sim::Board& b = board();
    refuseAuxWrite(b, sim::reg::debug, 1, true);
    int refused = 0;
    b.onPacket = [&b, &refused](const sim::Packet& p) {
        if (p.status != 0 && ++refused == 5) {
            b.faults.status.clear();
        }
    };
    sim::pushKeys("y");

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(),
              checkLine(1, true) + "\n" + fiveFailedAttempts() + retryPrompt + successfulRun());
    EXPECT_EQ(sim::portLog(1).opens, 2);
    EXPECT_EQ(sim::keysLeft(), 0u);
}

TEST_F(Run, RetryWhoseScanFindsNoBoardOffersTheConversionAndNoFurtherRetry) {
    sim::Board& b = board();
    refuseAuxWrite(b, sim::reg::debug, 1, true);
    int refused = 0;
    b.onPacket = [&refused](const sim::Packet& p) {
        if (p.status != 0 && ++refused == 5) {
            sim::unplug(1);
        }
    };
    sim::pushKeys("yn");

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(),
              checkLine(1, true) + "\n" + fiveFailedAttempts() + retryPrompt + noDevice + exitNow);
    EXPECT_EQ(sim::keysLeft(), 0u);
}

TEST_F(Run, CoreThatNeverHaltsIsPolled59TimesThenTheRetryIsDeclined) {
    sim::Board& b = board();
    b.faults.neverHalts = true;
    sim::pushKeys("Y"); // only the lower-case y accepts

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), checkLine(1, true) + "\n" + connect() + transfer() +
                                     " update:   " + repeat('.', 59) + " failed!\n" + retryPrompt +
                                     exitNow);
    ASSERT_EQ(b.releases().size(), 1u);
    int polls = 0;
    for (const sim::Packet& p : b.packetsOf(sim::cmd::readAux)) {
        polls += p.address == sim::reg::status && p.time > b.releases()[0].time;
    }
    EXPECT_EQ(polls, 59);
    EXPECT_FALSE(sim::portLog(1).open);
}

TEST_F(Run, BoardOnALaterPortIsFoundAndTheFailedPortsAreClosedAgain) {
    sim::setPort(1, sim::PortKind::Silent);
    sim::setPort(2, sim::PortKind::Echo);
    sim::setPort(3, sim::PortKind::Busy);
    sim::setPort(4, sim::PortKind::RefusesSettings);
    sim::Board& b = board(5);
    bool otherPortOpen = false;
    b.onPacket = [&otherPortOpen](const sim::Packet&) {
        for (const int n : {1, 2, 4}) {
            otherPortOpen = otherPortOpen || sim::portLog(n).open;
        }
    };

    EXPECT_EQ(updaterMain(), 0);

    // COM4 takes no settings: its check text stays without a line end.
    EXPECT_EQ(sim::transcript(), successfulRun(checkLine(1, false) + checkLine(2, false) +
                                               "<<check COM4check COM5>> OK\n"));
    EXPECT_FALSE(otherPortOpen);
    for (const int n : {1, 2, 4}) {
        EXPECT_EQ(sim::portLog(n).opens, 1) << "COM" << n;
    }
    EXPECT_EQ(sim::portLog(3).opens, 0);
}

// The no-device runs, in an empty current folder of their own.
class NoBoard : public World {
  protected:
    void SetUp() override {
        World::SetUp();
        previous_ = std::filesystem::current_path();
        folder_ = std::filesystem::temp_directory_path() /
                  ("apptest-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directory(folder_);
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
        World::TearDown();
    }

    std::vector<std::string> folderContent() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

TEST_F(NoBoard, YesWritesTheCarriedImageAsTheConversionFile) {
    sim::setPort(1, sim::PortKind::Silent);
    sim::pushKeys("y");

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(),
              checkLine(1, false) + noDevice + "Convert to progstand format...\n" + exitNow);
    const std::string name = std::string("qpsk_") + firmwareImage.elfFileName;
    EXPECT_EQ(folderContent(), std::vector<std::string>{name});
    std::ifstream file(folder_ / name, std::ios::binary);
    const std::vector<unsigned char> written{std::istreambuf_iterator<char>(file), {}};
    EXPECT_TRUE(written ==
                std::vector<unsigned char>(firmwareImage.elfFile,
                                           firmwareImage.elfFile + firmwareImage.elfFileSize));
}

TEST_F(NoBoard, AnyOtherKeyWritesNothing) {
    sim::pushKeys("\r");

    EXPECT_EQ(updaterMain(), 0);

    EXPECT_EQ(sim::transcript(), noDevice + exitNow);
    EXPECT_TRUE(folderContent().empty());
}

} // namespace
