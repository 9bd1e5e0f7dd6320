// The release notes' Markdown subset: a table of inputs and the document each reads as, the
// cut at the size limit, and time on inputs built to be slow.
#include "common/markdown/markdown.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>

namespace orv::markdown {
namespace {

// A document as one line: blocks as P, H<level>, B<level>, N<level>.<number>, CUT, each with
// its runs in brackets; a styled run as <flags:text> (b, i, c, l) and a link's =>target.
std::string Summary(const Document& doc) {
    std::string out;
    for (const Block& b : doc.blocks) {
        const std::string level = std::to_string(b.level);
        out += std::string(out.empty() ? "" : " ") +
               (b.kind == BlockKind::Heading    ? "H" + level
                : b.kind == BlockKind::Bullet   ? "B" + level
                : b.kind == BlockKind::Numbered ? "N" + level + "." + std::to_string(b.number)
                : b.kind == BlockKind::Cut      ? "CUT"
                                                : "P");
        if (b.kind == BlockKind::Cut) continue;
        out += '[';
        for (const Run& r : b.runs) {
            std::string flags;
            for (auto [flag, name] :
                 {std::pair{kBold, 'b'}, {kItalic, 'i'}, {kCode, 'c'}, {kLink, 'l'}})
                if (r.style & flag) flags += name;
            out += flags.empty() ? r.text
                                 : "<" + flags + ":" + r.text +
                                       (r.target.empty() ? "" : "=>" + r.target) + ">";
        }
        out += ']';
    }
    return out;
}

std::string Repeat(const std::string& piece, int times) {
    std::string s;
    while (times-- > 0) s += piece;
    return s;
}

TEST(Markdown, ReadsTheSubsetAndKeepsTheRestAsText) {
    const struct {
        std::string in;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"Hello\nworld\r\n\r\nNext  ", "P[Hello world] P[Next]"},
        {"# One\n## Two\n### Three\n#### Four\n#five\n# Head\nmore",
         "H1[One] H2[Two] H3[Three] P[#### Four #five] H1[Head] P[more]"},
        {"**b** __b__ *i* _i_ x", "P[<b:b> <b:b> <i:i> <i:i> x]"},
        {"**bold *and italic* end**", "P[<b:bold ><bi:and italic><b: end>]"},
        // Unclosed, unopenable or mismatched emphasis stays as written.
        {"**bold", "P[**bold]"},
        {"*a **b*", "P[<i:a **b>]"},
        {"***x*** a * b * snake_case_name 2*3", "P[***x*** a * b * snake_case_name 2*3]"},
        {"__a_ _b__ _a__", "P[<b:a_ _b> _a__]"},
        {"`code *x*` `open \\*not\\* \\a", "P[<c:code *x*> `open *not* \\a]"},
        // Links: [text](target) with the target as written, and bare http(s) URLs.
        {"[site](https://e.test/a) and https://e.test/b.",
         "P[<l:site=>https://e.test/a> and <l:https://e.test/b=>https://e.test/b>.]"},
        {"**[x](file:///c:/a)** HTTP://E.TEST xhttps://no",
         "P[<bl:x=>file:///c:/a> <l:HTTP://E.TEST=>HTTP://E.TEST> xhttps://no]"},
        {"[x](javascript:alert(1)) [no link] (x) [](y) [a](b c) http://",
         "P[<l:x=>javascript:alert(1>) [no link] (x) [](y) [a](b c) http://]"},
        // Lists nest by indentation, up to six levels; a line without a marker continues.
        {"- a\n* b\n  + c\n    - d\n  more\n- e", "B1[a] B1[b] B2[c] B3[d more] B1[e]"},
        {"1. one\n2) two\n   10. ten\n\n12345678901. x\n-no space\n- \n+\n\n- again",
         "N1.1[one] N1.2[two] N2.10[ten] P[12345678901. x -no space - +] B1[again]"},
        {"- 1\n  - 2\n    - 3\n      - 4\n        - 5\n          - 6\n            - 7\n- 1",
         "B1[1] B2[2] B3[3] B4[4] B5[5] B6[6] B6[7] B1[1]"},
        {"Überprüfung **обновление** 更新", "P[Überprüfung <b:обновление> 更新]"},
    };
    for (const auto& c : cases) EXPECT_EQ(Summary(Parse(c.in)), c.expected) << c.in;
    EXPECT_EQ(Summary(PlainText("a **b**\r\n\r\n# c")), "P[a **b**] P[] P[# c]");
}

TEST(Markdown, LongerNotesAreCutAtACharacterWithTheMark) {
    const std::string notes = Repeat("é", 20000);  // two bytes each
    EXPECT_EQ(Summary(Parse("x" + notes)), "P[x" + notes.substr(0, kMaxNotesBytes - 2) + "] CUT");
    EXPECT_FALSE(Parse(notes.substr(0, kMaxNotesBytes)).cut);
    EXPECT_EQ(CutAtBoundary("a\xF0\x9F\x98\x80", 4), "a");
}

TEST(Markdown, OnlyWebLinksAreOpened) {
    for (const char* yes : {"https://e.test", "HTTP://x", "hTtPs://"}) EXPECT_TRUE(IsWebLink(yes));
    for (const char* no : {"file:///c:/", "javascript:x", "mailto:a@b", "/relative", "https:/x"})
        EXPECT_FALSE(IsWebLink(no)) << no;
}

// Inputs made to be slow, read whole in linear time: the bound is far above what a loaded
// machine with sanitizers takes, and far below quadratic time.
TEST(Markdown, LinearOnHostileInputs) {
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += std::string(static_cast<std::size_t>(i % 100), ' ') + "- x\n";
    const struct {
        const char* name;
        std::string in;
        std::size_t blocks;
    } cases[] = {
        {"100,000 list items", Repeat("- item **b**\n1. item\n", 50000), 100000},
        {"5,000 items 100 levels deep", deep, 5000},
        {"unclosed openers", Repeat("**a *b _c __d [e `", 20000), 1},
        {"brackets", std::string(200000, '['), 1},
        {"URLs", Repeat("http://a.test/ [x](y", 20000), 1},
    };
    for (const auto& c : cases) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Parse(c.in, c.in.size()).blocks.size(), c.blocks) << c.name;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
        EXPECT_LT(ms, 30000) << c.name;
        std::printf("%s (%zu bytes): %lld ms\n", c.name, c.in.size(), static_cast<long long>(ms));
    }
    // With the limit, 100,000 items end with the mark after the items that fit.
    EXPECT_EQ(Parse(Repeat("- item\n", 100000)).blocks.size(), kMaxNotesBytes / 7 + 1);
}

}  // namespace
}  // namespace orv::markdown
