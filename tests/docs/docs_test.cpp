// The guides against the sources. The operator's table of what the program
// prints when something goes wrong (docs/operating.md) against the texts the
// program's sources print: every text in the table is one the program prints
// (pieced together as they meet on a console line), and every text that
// signals a problem is in the table. And every link between the README and
// the guides leads to a file and a heading that are there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimEnd(std::string text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// The string literals in the arguments of every platOut and platErr call,
// each cut at its line ends into the pieces a console shows.
std::set<std::string> printedTexts() {
    std::set<std::string> texts;
    for (const char* folder : {"app", "serial", "target", "image"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(SOURCE_DIR) / folder)) {
            if (entry.path().extension() != ".cpp") {
                continue;
            }
            const std::string code = fileText(entry.path());
            for (std::size_t at = 0; (at = code.find("plat", at)) != std::string::npos; ++at) {
                if (code.compare(at, 7, "platOut") != 0 && code.compare(at, 7, "platErr") != 0) {
                    continue;
                }
                std::size_t i = at + 7;
                if (i >= code.size() || code[i] != '(') {
                    continue;
                }
                int depth = 0;
                std::string literal;
                bool inLiteral = false;
                for (; i < code.size(); ++i) {
                    const char c = code[i];
                    if (inLiteral) {
                        if (c == '\\') {
                            const char e = code[++i];
                            literal += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
                        } else if (c == '"') {
                            inLiteral = false;
                        } else {
                            literal += c;
                        }
                        continue;
                    }
                    if (c == '"') {
                        inLiteral = true;
                    } else if (c == '(') {
                        ++depth;
                    } else if (c == ')' && --depth == 0) {
                        break;
                    } else if (c == ',' && depth == 1) {
                        break; // the format's arguments are no texts of their own
                    } else if (c == ':' || c == '?') {
                        literal += '\n'; // the other way of a choice is another text
                    }
                }
                std::replace(literal.begin(), literal.end(), '\r', '\n');
                std::istringstream pieces(literal);
                for (std::string piece; std::getline(pieces, piece);) {
                    if (!trimEnd(piece).empty()) {
                        texts.insert(piece);
                    }
                }
            }
        }
    }
    return texts;
}

// A printed text as a pattern: printf conversions stand for what they print;
// blanks at its end may be left out, as they cannot be seen.
std::regex patternOf(const std::string& printed) {
    const std::string text = trimEnd(printed);
    std::string pattern;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size()) {
            std::size_t j = i + 1;
            while (j < text.size() && (text[j] == 'l' || text[j] == 'z')) {
                ++j;
            }
            const char conversion = text[j];
            pattern += conversion == 'd' || conversion == 'u' ? "[0-9]+"
                       : conversion == 'c'                    ? "."
                       : conversion == '%'                    ? "%"
                                                              : ".+";
            i = j;
        } else if (std::string("\\^$.|?*+()[]{}").find(text[i]) != std::string::npos) {
            pattern += std::string("\\") + text[i];
        } else {
            pattern += text[i];
        }
    }
    return std::regex(pattern + (text.size() < printed.size() ? " *" : ""));
}

// The quoted texts of the first column of the table in docs/operating.md.
std::vector<std::string> tableTexts() {
    const std::string doc = fileText(fs::path(SOURCE_DIR) / "docs" / "operating.md");
    const std::size_t section = doc.find("## When something goes wrong");
    EXPECT_NE(section, std::string::npos);
    std::istringstream lines(doc.substr(section));
    std::vector<std::string> texts;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("## ", 0) == 0 && !texts.empty()) {
            break;
        }
        if (line.rfind("| `", 0) != 0) {
            continue;
        }
        const std::string cell = line.substr(1, line.find(" |", 1));
        for (std::size_t open = cell.find('`'); open != std::string::npos;
             open = cell.find('`', open + 1)) {
            const std::size_t close = cell.find('`', open + 1);
            texts.push_back(trimEnd(cell.substr(open + 1, close - open - 1)));
            open = close;
        }
    }
    return texts;
}

// The printed texts that can take part in making up text, one after the
// other; empty when text cannot be made up of them.
std::set<std::string> piecesOf(const std::string& text, const std::set<std::string>& printed) {
    struct Match {
        std::size_t from, to;
        std::string piece;
    };
    std::vector<Match> matches;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::string rest = text.substr(at);
        for (const std::string& p : printed) {
            std::smatch m;
            if (std::regex_search(rest, m, patternOf(p), std::regex_constants::match_continuous) &&
                m.length(0) > 0) {
                matches.push_back({at, at + static_cast<std::size_t>(m.length(0)), p});
            }
        }
    }
    std::vector<bool> fromStart(text.size() + 1, false), toEnd(text.size() + 1, false);
    fromStart[0] = true;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        for (const Match& m : matches) {
            fromStart[m.to] = fromStart[m.to] || (m.from == at && fromStart[at]);
        }
    }
    toEnd[text.size()] = true;
    for (std::size_t at = text.size() + 1; at-- > 0;) {
        for (const Match& m : matches) {
            toEnd[m.from] = toEnd[m.from] || (m.to == at && toEnd[at]);
        }
    }
    std::set<std::string> pieces;
    if (toEnd[0]) {
        for (const Match& m : matches) {
            if (fromStart[m.from] && toEnd[m.to]) {
                pieces.insert(m.piece);
            }
        }
    }
    return pieces;
}

TEST(OperatorGuide, TheTroubleTableQuotesEveryProblemTextThatTheProgramPrints) {
    const std::set<std::string> printed = printedTexts();
    ASSERT_GT(printed.size(), 20u);
    // What the program prints on the way of an update that goes well.
    const std::set<std::string> normal = {
        "check COM%d",
        " OK",
        "reset device",
        " set speed to %lu, %d%c%d",
        " transfer: ",
        "............................................................",
        " transfer: ", // the ruler's end, to draw the stars over it
        "*",
        " update:   ",
        ".",
        " done",
        "exit now...",
        "Convert to progstand format...",
        "}", // the end of "{InitErr" on the next line
        // printStatus, part of the download driver's interface: no step
        // of an update calls it.
        " ERROR",
    };
    std::set<std::string> used;
    for (const std::string& text : tableTexts()) {
        const std::set<std::string> pieces = piecesOf(text, printed);
        EXPECT_FALSE(pieces.empty()) << "the program prints no \"" << text << "\"";
        used.insert(pieces.begin(), pieces.end());
    }
    for (const std::string& text : printed) {
        if (normal.count(text) == 0) {
            EXPECT_TRUE(used.count(text) != 0)
                << "the table in docs/operating.md does not quote \"" << text << "\"";
        }
    }
    for (const std::string& text : normal) {
        EXPECT_TRUE(printed.count(text) != 0) << "the program no longer prints \"" << text << "\"";
    }
}

// A heading's anchor as the repository's web view makes it.
std::string anchorOf(std::string heading) {
    std::string anchor;
    for (const char c : heading) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_') {
            anchor += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c == ' ') {
            anchor += '-';
        }
    }
    return anchor;
}

TEST(Guides, EveryLinkLeadsToAFileAndAHeadingThatAreThere) {
    const fs::path root(SOURCE_DIR);
    std::vector<fs::path> pages = {root / "README.md"};
    for (const auto& entry : fs::directory_iterator(root / "docs")) {
        if (entry.path().extension() == ".md") {
            pages.push_back(entry.path());
        }
    }
    ASSERT_GE(pages.size(), 5u);
    auto anchors = [](const fs::path& page) {
        std::set<std::string> found;
        std::istringstream lines(fileText(page));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind('#', 0) == 0) {
                found.insert(anchorOf(line.substr(line.find(' ') + 1)));
            }
        }
        return found;
    };
    const std::regex link(R"(\]\(([^)#]*)(#([^)]*))?\))");
    for (const fs::path& page : pages) {
        const std::string text = fileText(page);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), link);
             it != std::sregex_iterator(); ++it) {
            const std::string target = (*it)[1];
            if (target.rfind("http", 0) == 0) {
                continue;
            }
            const fs::path file = target.empty() ? page : page.parent_path() / target;
            EXPECT_TRUE(fs::exists(file)) << page.filename() << " links to " << target;
            if ((*it)[3].matched && file.extension() == ".md" && fs::exists(file)) {
                EXPECT_EQ(anchors(file).count((*it)[3]), 1u)
                    << page.filename() << " links to " << target << "#" << (*it)[3];
            }
        }
    }
}

} // namespace
