// The release notes' Markdown: every input reads as a well-formed document that keeps every
// letter it was given (as text or as a link's target), and is cut only past its limit.
#include <cstdint>
#include <string_view>

#include "common/markdown/markdown.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::size_t Letters(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return n;
}

void Check(std::string_view in, std::size_t limit) {
    using namespace orv::markdown;
    const Document doc = Parse(in, limit);
    FUZZ_CHECK(doc.cut == (in.size() > limit));
    const std::string_view kept = CutAtBoundary(in, limit);
    FUZZ_CHECK(kept.size() <= limit && in.substr(0, kept.size()) == kept);
    std::size_t text = 0, targets = 0;
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        const Block& b = doc.blocks[i];
        FUZZ_CHECK((b.kind == BlockKind::Cut) == (doc.cut && i + 1 == doc.blocks.size()));
        if (b.kind == BlockKind::Heading) FUZZ_CHECK(b.level >= 1 && b.level <= 3);
        if (b.kind == BlockKind::Bullet || b.kind == BlockKind::Numbered)
            FUZZ_CHECK(b.level >= 1 && b.level <= kMaxListDepth);
        for (const Run& r : b.runs) {
            FUZZ_CHECK(!r.text.empty());
            FUZZ_CHECK(r.style <= (kBold | kItalic | kCode | kLink));
            FUZZ_CHECK(((r.style & kLink) != 0) == !r.target.empty());
            text += Letters(r.text);
            targets += Letters(r.target);
        }
    }
    FUZZ_CHECK(text <= Letters(kept) && Letters(kept) <= text + targets);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    Check(in, orv::markdown::kMaxNotesBytes);
    Check(in, size / 2);
    (void)orv::markdown::PlainText(in);
    return 0;
}
