// The release notes' Markdown: a small subset read into a flat document the dialog renders.
// Headings (# to ###), paragraphs, **bold** / __bold__, *italic* / _italic_, bullet (-, *, +)
// and numbered (1. or 1)) list items nested by indentation, `inline code`, [text](url) links,
// bare http:// and https:// URLs, and backslash escapes. Whatever it does not recognise (an
// unclosed emphasis, #### headings, quotes, tables ...) stays as literal text: nothing is
// dropped. Time and memory are linear in the input, which is cut at kMaxNotesBytes.
// Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::markdown {

// The longest notes read; longer ones are cut at a UTF-8 boundary below it and end with a
// Cut block. Update information carries at most kMaxInfoTextLength bytes, of which the notes
// field is Base64: every notes text a file can carry is shorter than this.
inline constexpr std::size_t kMaxNotesBytes = 32768;
// List items indented deeper than this many levels are shown at this level.
inline constexpr int kMaxListDepth = 6;

enum Style : uint8_t { kPlain = 0, kBold = 1, kItalic = 2, kCode = 4, kLink = 8 };

// Text of one style; a link's target is kept as written.
struct Run {
    std::string text;  // UTF-8
    uint8_t style = kPlain;
    std::string target;
};

enum class BlockKind : uint8_t {
    Paragraph,
    Heading,   // level 1 to 3
    Bullet,    // level: the list depth, 1 to kMaxListDepth
    Numbered,  // level as Bullet; number: the item's number as written
    Cut,       // the notes were longer than the limit: the place of the visible mark
};

struct Block {
    BlockKind kind = BlockKind::Paragraph;
    int level = 0;
    uint32_t number = 0;
    std::vector<Run> runs;
};

struct Document {
    std::vector<Block> blocks;
    bool cut = false;  // the last block is the Cut mark
};

// Reads `text` (UTF-8 Markdown), cut at `limit` bytes.
Document Parse(std::string_view text, std::size_t limit = kMaxNotesBytes);

// Plain text as it stands: one paragraph of one plain run per line, empty lines included.
Document PlainText(std::string_view text);

// The longest prefix of `text` of at most `limit` bytes that ends at a UTF-8 boundary.
std::string_view CutAtBoundary(std::string_view text, std::size_t limit);

// True when `target` starts with http:// or https:// (any case): the only links opened.
bool IsWebLink(std::string_view target);

}  // namespace orv::markdown
