// The release notes' Markdown subset: a table of inputs and the document each reads as, the
// cut at the size limit, and time on inputs built to be slow.
#include "common/markdown/markdown.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

namespace orv::markdown {
namespace {

// A document as one line: blocks as P, H<level>, B<level>, N<level>.<number>, CUT, each with
// its runs in brackets; a styled run as <flags:text> (b, i, c, l) and a link's =>target.
std::string Summary(const Document& doc) {
    std::string out;
    for (const Block& b : doc.blocks) {
        if (!out.empty()) out += ' ';
        switch (b.kind) {
            case BlockKind::Paragraph: out += "P"; break;
            case BlockKind::Heading: out += "H" + std::to_string(b.level); break;
            case BlockKind::Bullet: out += "B" + std::to_string(b.level); break;
            case BlockKind::Numbered:
                out += "N" + std::to_string(b.level) + "." + std::to_string(b.number);
                break;
            case BlockKind::Cut: out += "CUT"; continue;
        }
        out += '[';
        for (const Run& r : b.runs) {
            if (r.style == kPlain) {
                out += r.text;
                continue;
            }
            out += '<';
            for (auto [flag, name] :
                 {std::pair{kBold, 'b'}, {kItalic, 'i'}, {kCode, 'c'}, {kLink, 'l'}})
                if (r.style & flag) out += name;
            out += ':' + r.text + (r.style & kLink ? "=>" + r.target : "") + '>';
        }
        out += ']';
    }
    return out;
}

TEST(Markdown, ReadsTheSubsetAndKeepsTheRestAsText) {
    const struct {
        const char* in;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"Hello\nworld\r\n\r\nNext  ", "P[Hello world] P[Next]"},
        {"# One\n## Two\n### Three\n#### Four\n#five",
         "H1[One] H2[Two] H3[Three] P[#### Four #five]"},
        {"text\n# Head\nmore", "P[text] H1[Head] P[more]"},
        {"**b** __b__ *i* _i_ x", "P[<b:b> <b:b> <i:i> <i:i> x]"},
        {"**bold *and italic* end**", "P[<b:bold ><bi:and italic><b: end>]"},
        // Unclosed, unopenable or mismatched emphasis stays as written.
        {"**bold", "P[**bold]"},
        {"*a **b*", "P[<i:a **b>]"},
        {"***x*** a * b * snake_case_name 2*3", "P[***x*** a * b * snake_case_name 2*3]"},
        {"__a_ _b__ _a__", "P[<b:a_ _b> _a__]"},
        {"`code *x*` `open", "P[<c:code *x*> `open]"},
        {"\\*not\\* \\a", "P[*not* \\a]"},
        // Links: [text](target) with the target as written, and bare http(s) URLs.
        {"[site](https://e.test/a) and https://e.test/b.",
         "P[<l:site=>https://e.test/a> and <l:https://e.test/b=>https://e.test/b>.]"},
        {"**[x](file:///c:/a)** HTTP://E.TEST xhttps://no",
         "P[<bl:x=>file:///c:/a> <l:HTTP://E.TEST=>HTTP://E.TEST> xhttps://no]"},
        {"[x](javascript:alert(1)) [no link] (x) [](y) [a](b c) http://",
         "P[<l:x=>javascript:alert(1>) [no link] (x) [](y) [a](b c) http://]"},
        // Lists nest by indentation; a line without a marker continues the item.
        {"- a\n* b\n  + c\n    - d\n  more\n- e", "B1[a] B1[b] B2[c] B3[d more] B1[e]"},
        {"1. one\n2) two\n   10. ten\n\n12345678901. x",
         "N1.1[one] N1.2[two] N2.10[ten] P[12345678901. x]"},
        {"-no space\n- \n+", "P[-no space - +]"},
        {"- item\n\nparagraph\n- again", "B1[item] P[paragraph] B1[again]"},
        {"Überprüfung **обновление** 更新", "P[Überprüfung <b:обновление> 更新]"},
    };
    for (const auto& c : cases) EXPECT_EQ(Summary(Parse(c.in)), c.expected) << c.in;
}

TEST(Markdown, DeepNestingStopsAtTheLimitAndComesBack) {
    std::string in;
    for (int i = 0; i < 12; ++i) in += std::string(2 * i, ' ') + "- x\n";
    in += "- top";
    EXPECT_EQ(Summary(Parse(in)),
              "B1[x] B2[x] B3[x] B4[x] B5[x] B6[x] B6[x] B6[x] B6[x] B6[x] "
              "B6[x] B6[x] B1[top]");
}

TEST(Markdown, PlainTextIsOneParagraphPerLine) {
    EXPECT_EQ(Summary(PlainText("a **b**\r\n\r\n# c")), "P[a **b**] P[] P[# c]");
}

TEST(Markdown, LongerNotesAreCutAtACharacterWithTheMark) {
    std::string notes;
    for (int i = 0; i < 20000; ++i) notes += "é";  // two bytes each
    const Document doc = Parse("x" + notes);
    ASSERT_TRUE(doc.cut);
    ASSERT_EQ(doc.blocks.size(), 2u);
    EXPECT_EQ(doc.blocks[0].runs[0].text, "x" + notes.substr(0, kMaxNotesBytes - 2));
    EXPECT_EQ(doc.blocks[1].kind, BlockKind::Cut);
    EXPECT_FALSE(Parse(notes.substr(0, kMaxNotesBytes)).cut);
    EXPECT_EQ(CutAtBoundary("a\xF0\x9F\x98\x80", 4), "a");
    EXPECT_EQ(CutAtBoundary("ab", 1), "a");
}

TEST(Markdown, OnlyWebLinksAreOpened) {
    for (const char* yes : {"https://e.test", "HTTP://x", "hTtPs://"}) EXPECT_TRUE(IsWebLink(yes));
    for (const char* no :
         {"file:///c:/", "javascript:x", "mailto:a@b", "/relative", "https:/x", ""})
        EXPECT_FALSE(IsWebLink(no)) << no;
}

// Inputs made to be slow: each is read whole (no limit) in linear time. The bound is far
// above what a loaded machine with sanitizers takes, and far below quadratic time.
TEST(Markdown, LinearOnHostileInputs) {
    const struct {
        const char* name;
        std::function<std::string()> make;
        std::size_t blocks;
    } cases[] = {
        {"100,000 list items",
         [] {
             std::string s;
             for (int i = 0; i < 100000; ++i) s += i % 2 ? "- item **b**\n" : "1. item\n";
             return s;
         },
         100000},
        {"5,000 items 100 levels deep",
         [] {
             std::string s;
             for (int i = 0; i < 5000; ++i)
                 s += std::string(static_cast<std::size_t>(i % 100), ' ') + "- x\n";
             return s;
         },
         5000},
        {"unclosed openers",
         [] {
             std::string s;
             for (int i = 0; i < 20000; ++i) s += "**a *b _c __d [e `";
             return s;
         },
         1},
        {"one long line of brackets", [] { return std::string(200000, '['); }, 1},
        {"one long line of URLs",
         [] {
             std::string s;
             for (int i = 0; i < 20000; ++i) s += "http://a.test/ [x](y";
             return s;
         },
         1},
    };
    for (const auto& c : cases) {
        const std::string in = c.make();
        const auto t0 = std::chrono::steady_clock::now();
        const Document doc = Parse(in, in.size());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
        EXPECT_EQ(doc.blocks.size(), c.blocks) << c.name;
        EXPECT_LT(ms, 30000) << c.name;
        std::printf("%s (%zu bytes): %lld ms\n", c.name, in.size(), static_cast<long long>(ms));
    }
    // Under the limit, 100,000 items end with the mark after what fits.
    std::string items;
    for (int i = 0; i < 100000; ++i) items += "- item\n";
    const Document cut = Parse(items);
    EXPECT_TRUE(cut.cut);
    EXPECT_EQ(cut.blocks.size(), kMaxNotesBytes / 7 + 1);  // whole items, a cut one, the mark
}

}  // namespace
}  // namespace orv::markdown
