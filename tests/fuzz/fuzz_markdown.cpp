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
    std::size_t text = 0, targets = 0;
    for (const Block& b : doc.blocks) {
        FUZZ_CHECK((b.kind == BlockKind::Cut) == (doc.cut && &b == &doc.blocks.back()));
        FUZZ_CHECK(b.level >= 0 && b.level <= (b.kind == BlockKind::Heading ? 3 : kMaxListDepth));
        for (const Run& r : b.runs) {
            FUZZ_CHECK(!r.text.empty() && ((r.style & kLink) != 0) == !r.target.empty());
            text += Letters(r.text);
            targets += Letters(r.target);
        }
    }
    const std::size_t kept = Letters(CutAtBoundary(in, limit));
    FUZZ_CHECK(text <= kept && kept <= text + targets);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    Check(in, orv::markdown::kMaxNotesBytes);
    Check(in, size / 2);
    (void)orv::markdown::PlainText(in);
    return 0;
}
