#include "dialogue_grammar.h"

#include <array>
#include <cstdint>
#include <numeric>

namespace faulttest {
namespace {

constexpr std::array<std::uint32_t, 5> ladder = {256000, 128000, 115200, 57600, 38400};
constexpr int attemptsPerDownload = 5;
constexpr int haltPolls = 59;

const std::string ruler = "\n transfer: " + std::string(60, '.') + "\r transfer: ";
constexpr std::string_view retryPrompt =
    "\nRetry update?\nPress 'y' to retry or any other key to exit:\n";
constexpr std::string_view noDevice = "\nNo device found!\n\nConvert file to use with progstand?\n"
                                      "Press 'y' to convert or any other key to exit:\n";
// What the preparation of the core may print: at most one of these, each
// ends the procedure.
constexpr std::array<std::string_view, 7> preparationTexts = {
    "{NoNop}", "{StepErr3}", "{StepErr4}", "{StepErr5}", "{StepErr6}", "{StepStuck}", "{InitErr\n}",
};

struct Failed {
    std::string why;
};

class Parser {
  public:
    Parser(std::string_view text, const Image& image, const std::vector<int>& keys)
        : text_(text), keys_(keys), totalStars_(std::accumulate(image.starsPerSegment.begin(),
                                                                image.starsPerSegment.end(), 0)) {}

    Verdict run() {
        Verdict v;
        try {
            for (;;) {
                const Outcome o = session(v);
                v.sessions.push_back(o);
                v.last = o;
                if (o == Outcome::noDevice || o == Outcome::done) {
                    break;
                }
                expect(retryPrompt, "the retry prompt");
                if (key() != 'y') {
                    break;
                }
            }
            expect("exit now...\n", "\"exit now...\"");
            if (pos_ != text_.size()) {
                fail("text after \"exit now...\"");
            }
            v.ok = true;
        } catch (const Failed& f) {
            v.error = f.why;
        }
        v.keysUsed = keyAt_;
        return v;
    }

  private:
    [[noreturn]] void fail(const std::string& why) const {
        const std::size_t from = pos_ < 40 ? 0 : pos_ - 40;
        std::string context(text_.substr(from, pos_ - from));
        std::string ahead(text_.substr(pos_, 40));
        throw Failed{why + " at offset " + std::to_string(pos_) + ": ..." + escape(context) +
                     " ^ " + escape(ahead) + "..."};
    }

    static std::string escape(std::string_view s) {
        std::string out;
        for (const char c : s) {
            if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else {
                out += c;
            }
        }
        return out;
    }

    bool accept(std::string_view s) {
        if (text_.substr(pos_, s.size()) == s) {
            pos_ += s.size();
            return true;
        }
        return false;
    }

    void expect(std::string_view s, const char* what) {
        if (!accept(s)) {
            fail(std::string("expected ") + what);
        }
    }

    bool peek(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

    int count(char c, int limit) {
        int n = 0;
        while (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            if (++n > limit) {
                fail("more than " + std::to_string(limit) + " '" + std::string(1, c) + "'");
            }
        }
        return n;
    }

    std::uint64_t number() {
        const std::size_t start = pos_;
        std::uint64_t n = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9' &&
               pos_ - start < 10) {
            n = n * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
            ++pos_;
        }
        if (pos_ == start) {
            fail("expected a number");
        }
        return n;
    }

    int key() {
        // Once no key is left the console reports the end of its input,
        // which declines the prompt.
        const int k = keyAt_ < keys_.size() ? keys_[keyAt_] : -1;
        ++keyAt_;
        return k;
    }

    // The scan: one check text per port that opened, " failed" for those
    // without the board, nothing for those that refused their settings, and
    // " OK" on the board's port, which ends the scan.
    bool scan() {
        int last = 0;
        while (accept("<<check COM")) {
            const std::uint64_t port = number();
            if (port < 1 || port > 32 || static_cast<int>(port) <= last) {
                fail("port numbers out of order");
            }
            last = static_cast<int>(port);
            expect(">>", "the end of the check text");
            if (accept(" OK\n")) {
                return true;
            }
            accept(" failed\n");
        }
        return false;
    }

    Outcome session(Verdict& v) {
        if (!scan()) {
            expect(noDevice, "the no-device dialogue");
            if (key() == 'y') {
                expect("Convert to progstand format...\n", "the conversion line");
                if (accept("Cannot write ")) {
                    line();
                }
            }
            return Outcome::noDevice;
        }
        expect("\n", "the empty line after the scan");
        for (int made = 1; made <= attemptsPerDownload; ++made) {
            ++v.attempts;
            if (attempt()) {
                return haltPoll();
            }
            expect(" error \nretry... (" + std::to_string(made) + " of 5)\n",
                   "the retry text with the attempts made so far");
        }
        return Outcome::downloadFailed;
    }

    void line() {
        while (pos_ < text_.size() && text_[pos_] != '\n') {
            ++pos_;
        }
        expect("\n", "a line end");
    }

    // One attempt up to its retry text; true when the core was started.
    bool attempt() {
        expect("reset device\n", "\"reset device\"");
        bool connected = false;
        for (const std::uint32_t rate : ladder) {
            // A failed halt of the core (arcInit) prints nothing and ends the
            // connect phase.
            if (!accept(" set speed to ")) {
                break;
            }
            if (number() != rate) {
                fail("a rate off the ladder or out of order");
            }
            expect(", 8N1", "the line settings");
            if (accept(" OK")) {
                connected = true;
                break;
            }
            expect(" failed\n", "\" OK\" or \" failed\" after the rate");
        }
        if (!connected) {
            return false;
        }
        for (const std::string_view t : preparationTexts) {
            if (accept(t)) {
                break;
            }
        }
        expect(ruler, "the transfer ruler");
        const int stars = count('*', totalStars_);
        if (!accept(" done\n")) {
            return false; // a segment failed
        }
        if (stars != totalStars_) {
            fail("a complete transfer with " + std::to_string(stars) + " stars");
        }
        expect(" update:   ", "\" update:   \"");
        accept(" error\n"); // the core did not move under the start's steps
        return !peek(" error \nretry");
    }

    Outcome haltPoll() {
        const int dots = count('.', haltPolls);
        if (accept(" done\n")) {
            if (dots == 0) {
                fail("\" done\" without a poll that saw the halt");
            }
            return Outcome::done;
        }
        expect(" failed!\n", "\" done\" or \" failed!\" after the polls");
        return Outcome::haltFailed;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    const std::vector<int>& keys_;
    std::size_t keyAt_ = 0;
    int totalStars_;
};

} // namespace

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::done:
        return "done";
    case Outcome::haltFailed:
        return "halt failed";
    case Outcome::downloadFailed:
        return "download failed";
    case Outcome::noDevice:
        return "no device";
    }
    return "?";
}

Verdict checkTranscript(std::string_view transcript, const Image& image,
                        const std::vector<int>& keys) {
    return Parser(transcript, image, keys).run();
}

} // namespace faulttest
