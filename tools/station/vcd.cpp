// Reading and writing the Value Change Dump: see vcd.h.
#include "tools/station/vcd.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <unordered_map>

namespace station {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

class Tokens {
  public:
    explicit Tokens(std::string_view text) : text_(text) {}
    // The next word, empty at the end of the text.
    std::string_view next() {
        while (at_ < text_.size() && isSpace(text_[at_])) {
            ++at_;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && !isSpace(text_[at_])) {
            ++at_;
        }
        return text_.substr(start, at_ - start);
    }
    // The words up to the next $end, which is consumed.
    std::vector<std::string_view> untilEnd() {
        std::vector<std::string_view> words;
        for (std::string_view w = next(); !w.empty() && w != "$end"; w = next()) {
            words.push_back(w);
        }
        return words;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// "100 ns", "100ns", "1 ps": the step in picoseconds, 0 when not understood
// or finer than a picosecond.
Time timescaleOf(const std::vector<std::string_view>& words) {
    std::string joined;
    for (std::string_view w : words) {
        joined += w;
    }
    std::size_t digits = 0;
    while (digits < joined.size() && std::isdigit(static_cast<unsigned char>(joined[digits]))) {
        ++digits;
    }
    const std::string number = joined.substr(0, digits);
    const std::string unit = lower(joined.substr(digits));
    Time scale = 0;
    if (unit == "s") {
        scale = seconds;
    } else if (unit == "ms") {
        scale = millis;
    } else if (unit == "us") {
        scale = micros;
    } else if (unit == "ns") {
        scale = nanos;
    } else if (unit == "ps") {
        scale = picos;
    }
    if (number == "1" || number.empty()) {
        return scale;
    }
    if (number == "10") {
        return scale * 10;
    }
    if (number == "100") {
        return scale * 100;
    }
    return 0;
}

// Where each wanted identifier's changes go.
struct Tracked {
    std::vector<std::size_t> signals;
    bool known = false;
    bool level = true;
};

} // namespace

bool Signal::levelAt(Time t) const {
    const auto n = std::upper_bound(toggles.begin(), toggles.end(), t) - toggles.begin();
    return (n % 2 == 0) == initial;
}

std::optional<VcdFile> readVcd(std::string_view text, const std::vector<std::string>& names,
                               std::string& error) {
    VcdFile file;
    for (const std::string& n : names) {
        file.signals.push_back(Signal{n, false, true, {}});
    }
    Tokens tokens(text);
    std::unordered_map<std::string, std::size_t> idSlot;
    std::vector<Tracked> tracked;
    bool definitions = false;
    for (std::string_view w = tokens.next(); !w.empty(); w = tokens.next()) {
        if (w == "$enddefinitions") {
            tokens.untilEnd();
            definitions = true;
            break;
        }
        if (w == "$timescale") {
            file.unit = timescaleOf(tokens.untilEnd());
            if (file.unit == 0) {
                error = "a timescale this reader does not take (1 ps to 100 s)";
                return std::nullopt;
            }
        } else if (w == "$var") {
            const std::vector<std::string_view> v = tokens.untilEnd();
            if (v.size() < 4 || v[1] != "1") {
                continue;
            }
            const std::string name(v[3]);
            file.wires.push_back(name);
            // "TXD[0]": a bit of a bus named as the bus.
            const std::string base = lower(name.substr(0, name.find('[')));
            for (std::size_t i = 0; i < names.size(); ++i) {
                const std::string wanted = lower(names[i]);
                if (file.signals[i].found || (wanted != lower(name) && wanted != base)) {
                    continue;
                }
                file.signals[i].found = true;
                const std::string id(v[2]);
                auto [slot, added] = idSlot.emplace(id, tracked.size());
                if (added) {
                    tracked.emplace_back();
                }
                tracked[slot->second].signals.push_back(i);
            }
        } else if (w.front() == '$') {
            tokens.untilEnd(); // $date, $version, $comment, $scope, $upscope
        } else {
            error = "not a VCD: \"" + std::string(w.substr(0, 20)) + "\" before $enddefinitions";
            return std::nullopt;
        }
    }
    if (!definitions) {
        error = "not a VCD: no $enddefinitions";
        return std::nullopt;
    }
    if (file.unit == 0) {
        file.unit = picos; // the format's default
    }
    // One-character identifiers, the common case, without a hash lookup.
    std::vector<int> bySingle(256, -1);
    for (const auto& [id, slot] : idSlot) {
        if (id.size() == 1) {
            bySingle[static_cast<unsigned char>(id[0])] = static_cast<int>(slot);
        }
    }
    auto slotOf = [&](std::string_view id) -> Tracked* {
        if (id.size() == 1) {
            const int s = bySingle[static_cast<unsigned char>(id[0])];
            return s < 0 ? nullptr : &tracked[static_cast<std::size_t>(s)];
        }
        const auto it = idSlot.find(std::string(id));
        return it == idSlot.end() ? nullptr : &tracked[it->second];
    };
    auto set = [&](Tracked* t, char value, Time now) {
        if (t == nullptr || (value != '0' && value != '1')) {
            return; // x and z leave the wire as it was
        }
        const bool level = value == '1';
        for (std::size_t i : t->signals) {
            Signal& s = file.signals[i];
            if (!t->known) {
                s.initial = level;
            } else if (level != t->level) {
                // A pulse of no width is no change at all.
                if (!s.toggles.empty() && s.toggles.back() == now) {
                    s.toggles.pop_back();
                } else {
                    s.toggles.push_back(now);
                }
            }
        }
        t->known = true;
        t->level = level;
    };
    Time now = 0;
    for (std::string_view w = tokens.next(); !w.empty(); w = tokens.next()) {
        const char c = w.front();
        if (c == '#') {
            long long step = 0;
            const auto [end, ec] = std::from_chars(w.data() + 1, w.data() + w.size(), step);
            if (ec != std::errc() || end != w.data() + w.size() || step < 0) {
                error = "a time stamp that is not one: " + std::string(w.substr(0, 20));
                return std::nullopt;
            }
            now = static_cast<Time>(step) * file.unit;
            file.end = std::max(file.end, now);
        } else if (c == '0' || c == '1' || c == 'x' || c == 'X' || c == 'z' || c == 'Z') {
            set(slotOf(w.substr(1)), c, now);
        } else if (c == 'b' || c == 'B') {
            set(slotOf(tokens.next()), w.back(), now);
        } else if (c == 'r' || c == 'R') {
            tokens.next();
        } else if (w == "$comment") {
            tokens.untilEnd();
        }
        // $dumpvars, $dumpall, $dumpon, $dumpoff and their $end: nothing to do
    }
    return file;
}

void writeVcd(std::ostream& out, const std::vector<Signal>& signals, Time unit, Time end,
              const std::string& comment) {
    static const char* const units[] = {"ps", "ns", "us", "ms", "s"};
    int power = 0;
    for (Time u = unit; u >= 10; u /= 10) {
        ++power;
    }
    const int factor = power % 3 == 0 ? 1 : power % 3 == 1 ? 10 : 100;
    if (!comment.empty()) {
        out << "$comment " << comment << " $end\n";
    }
    out << "$timescale " << factor << ' ' << units[std::min(power / 3, 4)] << " $end\n";
    out << "$scope module capture $end\n";
    auto id = [](std::size_t i) { return static_cast<char>('!' + i); };
    for (std::size_t i = 0; i < signals.size(); ++i) {
        out << "$var wire 1 " << id(i) << ' ' << signals[i].name << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    std::vector<bool> level;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        level.push_back(signals[i].initial);
        out << (signals[i].initial ? '1' : '0') << id(i) << '\n';
    }
    out << "$end\n";
    auto step = [unit](Time t) { return (t + unit / 2) / unit; };
    std::vector<std::size_t> at(signals.size(), 0);
    Time current = 0;
    std::string text;
    for (;;) {
        std::size_t pick = signals.size();
        for (std::size_t i = 0; i < signals.size(); ++i) {
            if (at[i] < signals[i].toggles.size() &&
                (pick == signals.size() ||
                 signals[i].toggles[at[i]] < signals[pick].toggles[at[pick]])) {
                pick = i;
            }
        }
        if (pick == signals.size()) {
            break;
        }
        const Time s = step(signals[pick].toggles[at[pick]++]);
        if (s != current) {
            text += '#';
            text += std::to_string(s);
            text += '\n';
            current = s;
        }
        level[pick] = !level[pick];
        text += level[pick] ? '1' : '0';
        text += id(pick);
        text += '\n';
        if (text.size() > (1 << 20)) {
            out << text;
            text.clear();
        }
    }
    out << text << '#' << std::max(current + 1, step(end)) << '\n';
}

} // namespace station
