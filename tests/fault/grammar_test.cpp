// The transcript checker itself: it must take the texts the dialogue allows
// and refuse the ones that a faulty program would print.
#include "dialogue_grammar.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace faulttest;

const Image image{{44, 58}};

std::string attemptOk(const std::string& stars = std::string(102, '*')) {
    return "reset device\n set speed to 256000, 8N1 OK\n transfer: " + std::string(60, '.') +
           "\r transfer: " + stars + " done\n update:   ";
}

std::string failedAttempt(int made) {
    return "reset device\n error \nretry... (" + std::to_string(made) + " of 5)\n";
}

const std::string scanOk = "<<check COM1>> OK\n\n";
const std::string prompt = "\nRetry update?\nPress 'y' to retry or any other key to exit:\n";

TEST(TranscriptGrammar, TakesTheRunsTheDialogueAllows) {
    Verdict v = checkTranscript(scanOk + attemptOk() + "...... done\nexit now...\n", image, {});
    EXPECT_TRUE(v.ok) << v.error;
    EXPECT_EQ(v.last, Outcome::done);

    std::string five;
    for (int i = 1; i <= 5; ++i) {
        five += failedAttempt(i);
    }
    v = checkTranscript("<<check COM1>> failed\n<<check COM2>>" + std::string(" OK\n\n") + five +
                            prompt + "exit now...\n",
                        image, {'n'});
    EXPECT_TRUE(v.ok) << v.error;
    EXPECT_EQ(v.last, Outcome::downloadFailed);
    EXPECT_EQ(v.attempts, 5);

    // A failed start, a retry whose scan finds nothing, the conversion.
    v = checkTranscript(scanOk + attemptOk() + " error\n error \nretry... (1 of 5)\n" +
                            attemptOk() + std::string(59, '.') + " failed!\n" + prompt +
                            "\nNo device found!\n\nConvert file to use with progstand?\n"
                            "Press 'y' to convert or any other key to exit:\n"
                            "Convert to progstand format...\nexit now...\n",
                        image, {'y', 'y'});
    EXPECT_TRUE(v.ok) << v.error;
    EXPECT_EQ(v.sessions.size(), 2u);
    EXPECT_EQ(v.keysUsed, 2u);
}

TEST(TranscriptGrammar, RefusesWhatAFaultyProgramWouldPrint) {
    const std::string bad[] = {
        // retry counters out of order
        scanOk + failedAttempt(1) + failedAttempt(3),
        // a rate off the ladder
        scanOk + "reset device\n set speed to 128000, 8N1 OK",
        // a complete transfer short of stars, and one with too many
        scanOk + attemptOk(std::string(101, '*')) + ". done\nexit now...\n",
        scanOk + attemptOk(std::string(103, '*')) + ". done\nexit now...\n",
        // more polls than 59, a done without a poll
        scanOk + attemptOk() + std::string(60, '.') + " done\nexit now...\n",
        scanOk + attemptOk() + " done\nexit now...\n",
        // no "exit now...", text after it
        scanOk + attemptOk() + ". done\n",
        scanOk + attemptOk() + ". done\nexit now...\n.",
        // a sixth attempt
        scanOk + failedAttempt(1) + failedAttempt(2) + failedAttempt(3) + failedAttempt(4) +
            failedAttempt(5) + failedAttempt(6),
    };
    for (const std::string& text : bad) {
        EXPECT_FALSE(checkTranscript(text, image, {'n'}).ok) << text;
    }
    // A 'y' at the retry prompt must start a new scan.
    std::string five;
    for (int i = 1; i <= 5; ++i) {
        five += failedAttempt(i);
    }
    EXPECT_FALSE(checkTranscript(scanOk + five + prompt + "exit now...\n", image, {'y'}).ok);
}

} // namespace
