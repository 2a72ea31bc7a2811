// A checker of whole console transcripts against the grammar of the operator
// dialogue and the download driver: which texts may follow which, the retry
// counters in order, the baud ladder in order, the star bar and the halt-poll
// dots within their limits, every prompt answered by the next key and
// "exit now...\n" as the last line.
//
// The transcript is sim::transcript(): standard error enclosed in << >>.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace faulttest {

enum class Outcome {
    done,           // the core halted after the start: " done"
    haltFailed,     // no halt within the polls: " failed!"
    downloadFailed, // five failed attempts
    noDevice,       // the scan found no board
};

const char* outcomeName(Outcome outcome);

struct Verdict {
    bool ok = false;
    std::string error;             // where and why the text left the grammar
    std::vector<Outcome> sessions; // one per scan
    int attempts = 0;              // download attempts in all sessions
    std::size_t keysUsed = 0;      // prompts answered
    Outcome last = Outcome::noDevice;
};

struct Image {
    std::vector<int> starsPerSegment; // of a complete transfer
};

// keys: the keys given to the console, in order; a prompt after the last one
// is declined.
Verdict checkTranscript(std::string_view transcript, const Image& image,
                        const std::vector<int>& keys);

} // namespace faulttest
