// The program as a station engineer runs it: another analyzer's names,
// timescale and active-low DTR; a sigrok session file; the pictures; and
// the exit status of input it cannot use.
#include "station_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/wait.h>

namespace {

using namespace station;

struct Result {
    int status = -1;
    std::string out;
};

Result run(const std::string& args) {
    Result r;
    std::FILE* p = popen((std::string(STATION_JUDGE) + " " + args + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        ADD_FAILURE() << "cannot run " << STATION_JUDGE;
        return r;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) {
        r.out.append(buffer, n);
    }
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every tag closed in order, no stray '<' or '&' in the text, one svg root.
bool wellFormed(const std::string& xml, std::string& why) {
    std::vector<std::string> open;
    std::size_t roots = 0;
    for (std::size_t at = 0; at < xml.size(); ++at) {
        if (xml[at] == '&' && !std::regex_search(xml.substr(at, 6), std::regex("^&(lt|gt|amp);"))) {
            why = "a bare & at " + std::to_string(at);
            return false;
        }
        if (xml[at] != '<') {
            continue;
        }
        const std::size_t end = xml.find('>', at);
        if (end == std::string::npos || xml.find('<', at + 1) < end) {
            why = "a tag not closed at " + std::to_string(at);
            return false;
        }
        const std::string tag = xml.substr(at + 1, end - at - 1);
        const std::string name =
            tag.substr(tag[0] == '/', tag.find_first_of(" />", 1) - (tag[0] == '/'));
        if (tag[0] == '/') {
            if (open.empty() || open.back() != name) {
                why = "</" + name + "> closes " + (open.empty() ? "nothing" : open.back());
                return false;
            }
            open.pop_back();
        } else if (tag.back() != '/') {
            roots += open.empty() ? 1 : 0;
            open.push_back(name);
        }
        at = end;
    }
    why = open.empty() ? "" : "<" + open.back() + "> left open";
    return open.empty() && roots == 1 &&
           xml.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0) == 0;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The labels of the bytes drawn on a wire, in order.
std::string byteLabels(const std::string& svg, const char* colour) {
    const std::regex label("class=\"byte\" fill=\"" + std::string(colour) + "\">([0-9A-F]{2})<");
    std::string out;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), label);
         it != std::sregex_iterator(); ++it) {
        out += (out.empty() ? "" : " ") + (*it)[1].str();
    }
    return out;
}

class Program : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = stationtest::scratchDir(); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

} // namespace

// An analyzer that names its channels D0..D4, records in 1 ns steps, has a
// channel more and sees DTR on a TTL adapter's DTR# pin.
TEST_F(Program, CaptureOfAnotherAnalyzerPassesWithItsChannelsNamed) {
    const Wires w = stationtest::wiresOf(stationtest::updateRun().vcd);
    Signal dtrPin = w.dtr;
    dtrPin.initial = !dtrPin.initial;
    std::vector<Signal> channels = {w.rxd, w.txd, Signal{"", true, false, {}}, dtrPin, w.rts};
    for (std::size_t k = 0; k < channels.size(); ++k) {
        channels[k].name = "D" + std::to_string(k);
    }
    std::ostringstream vcd;
    writeVcd(vcd, channels, nanos, w.end);
    writeFile(file("other.vcd"), vcd.str());

    const std::string mapped = "--txd D1 --rxd D0 --dtr D3 --rts D4 ";
    const Result pass = run(mapped + "--active-low dtr " + file("other.vcd"));
    EXPECT_EQ(pass.status, 0) << pass.out;
    EXPECT_NE(pass.out.find("in steps of 1 ns\n  wires: TXD=D1 RXD=D0 DTR=D3 RTS=D4 (active low: "
                            "DTR)\n"),
              std::string::npos)
        << pass.out;
    EXPECT_NE(pass.out.find("\nVerdict: PASS\n"), std::string::npos);

    // Read active-high, the pin says DTR is up all along: the board held in
    // reset through every byte.
    const Result high = run(mapped + file("other.vcd"));
    EXPECT_EQ(high.status, 1) << high.out;
    EXPECT_NE(high.out.find("bytes on TXD while DTR was up"), std::string::npos) << high.out;

    const Result noRts =
        run("--txd D1 --rxd D0 --dtr D3 --rts none --active-low dtr " + file("other.vcd"));
    EXPECT_EQ(noRts.status, 0) << noRts.out;
    EXPECT_NE(noRts.out.find("note  RTS not recorded"), std::string::npos);

    const Result unnamed = run(file("other.vcd"));
    EXPECT_EQ(unnamed.status, 2);
    EXPECT_NE(unnamed.out.find("no wire named TXD, RXD, DTR, RTS (it has: D0, D1, D2, D3, D4)"),
              std::string::npos)
        << unnamed.out;
}

// sigrok-cli makes the session file from a VCD; the judge reads it back
// through sigrok-cli and says what it says of the VCD.
TEST_F(Program, SigrokSessionFileIsJudgedAsItsVcd) {
    if (std::system("sigrok-cli --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sigrok-cli is not installed (Debian's package sigrok-cli): a sigrok "
                        "session file cannot be made or read without it";
    }
    // The scan and the attempt up to the first blocks at 256000: 1.3 s of
    // 10 MHz samples.
    Wires w = stationtest::wiresOf(stationtest::updateRun().vcd);
    stationtest::cut(w, 1300 * millis);
    writeFile(file("short.vcd"), stationtest::vcdOf(w));
    const std::string convert = "sigrok-cli -I vcd -i " + file("short.vcd") + " -o " +
                                file("short.sr") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(convert.c_str()), 0) << convert;

    const Result vcd = run(file("short.vcd"));
    const Result sr = run(file("short.sr"));
    EXPECT_EQ(vcd.status, 1) << vcd.out; // cut before the update's end
    EXPECT_EQ(sr.status, 1) << sr.out;
    EXPECT_NE(sr.out.find(": sigrok session, "), std::string::npos) << sr.out;
    const std::size_t from = vcd.out.find("\nRates");
    ASSERT_NE(from, std::string::npos) << vcd.out;
    EXPECT_EQ(sr.out.substr(sr.out.find("\nRates")), vcd.out.substr(from));
    EXPECT_NE(sr.out.find("256000 confirmed"), std::string::npos) << sr.out;
}

TEST_F(Program, DrawsTheResetTheRatesAndTheAttempts) {
    writeFile(file("ladder.vcd"), stationtest::ladderRun().vcd);
    const Result r =
        run("--svg-reset " + file("reset.svg") + " --svg-rates " + file("rates.svg") +
            " --svg-activity " + file("activity.svg") + " --from 0 --to 4 " + file("ladder.vcd"));
    ASSERT_EQ(r.status, 0) << r.out;
    std::string why;

    // (a) The pulse and the scan's identity read, every byte labelled.
    const std::string reset = readFile(file("reset.svg"));
    EXPECT_TRUE(wellFormed(reset, why)) << why;
    for (const char* id : {"overview-TXD", "overview-DTR", "exchange-RXD", "exchange-RTS"}) {
        EXPECT_EQ(count(reset, std::string("<polyline id=\"") + id + "\""), 1u) << id;
    }
    EXPECT_EQ(byteLabels(reset, "#1f5fbf"), "06 04 00 00 00");
    EXPECT_EQ(byteLabels(reset, "#c8641e"), "08 01 02 03 00");
    EXPECT_NE(reset.find(">pulse 50.0 ms<"), std::string::npos);
    EXPECT_NE(reset.find(">quiet 200.0 ms<"), std::string::npos);

    // (b) Each stretch on the ladder's guides, every block marked.
    const std::string rates = readFile(file("rates.svg"));
    EXPECT_TRUE(wellFormed(rates, why)) << why;
    EXPECT_EQ(count(rates, "class=\"ladder\""), 5u);
    EXPECT_EQ(count(rates, "class=\"stretch TXD\""), 9u); // four rungs, 38400 around each
    EXPECT_EQ(count(rates, "class=\"stretch RXD\""), 1u);
    EXPECT_EQ(count(rates, "class=\"block\""), 502u);
    EXPECT_EQ(count(rates, "class=\"reset\""), 6u);

    // (c) The scan, the first attempt's rungs and its resets over 4 s.
    const std::string activity = readFile(file("activity.svg"));
    EXPECT_TRUE(wellFormed(activity, why)) << why;
    EXPECT_EQ(count(activity, "class=\"phase\""), 6u);
    EXPECT_NE(activity.find(">scan<"), std::string::npos);
    EXPECT_NE(activity.find(">attempt 1 at 38400<"), std::string::npos);
    EXPECT_EQ(count(activity, "class=\"reset\""), 6u);
    EXPECT_EQ(count(activity, "class=\"activity TXD\""), 1u);
    EXPECT_EQ(count(activity, "class=\"activity RXD\""), 1u);
}

TEST_F(Program, InputItCannotUseExitsWith2) {
    const Result none = run("");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.out.find("usage: station-judge"), std::string::npos);
    EXPECT_EQ(run("--help").status, 0);
    EXPECT_EQ(run("--frobnicate " + file("x.vcd")).status, 2);
    EXPECT_EQ(run("--active-low cts " + file("x.vcd")).status, 2);

    const Result missing = run(file("missing.vcd"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("missing.vcd: No such file"), std::string::npos) << missing.out;

    writeFile(file("notes.txt"), "line 1 of a station's notes\n");
    const Result text = run(file("notes.txt"));
    EXPECT_EQ(text.status, 2);
    EXPECT_NE(text.out.find("not a VCD"), std::string::npos) << text.out;

    writeFile(file("broken.sr"), std::string("PK\x03\x04", 4) + "not a zip");
    EXPECT_EQ(run(file("broken.sr")).status, 2);
}
