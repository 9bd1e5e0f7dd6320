#include "common/markdown/markdown.h"

#include <algorithm>

#include "common/updateinfo/updateinfo.h"

namespace orv::markdown {

// The notes field is Base64 inside the information text: its decoded bytes are at most three
// quarters of that text, so no notes a file can carry are ever cut.
static_assert(kMaxInfoTextLength / 4 * 3 < kMaxNotesBytes);

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
// ASCII letters and digits, and every byte of a non-ASCII character (letters in most texts).
bool IsWordByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (u >= '0' && u <= '9') || ((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
}
bool IsAsciiPunct(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > ' ' && u < 0x7F && !IsWordByte(c);
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}
std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// The first `c` at or after `from`, remembered between calls whose `from` only grows: every
// search starts past the previous result, so all searches of one text together read it once.
class NextOf {
   public:
    NextOf(std::string_view s, char c) : s_(s), c_(c) {}
    std::size_t From(std::size_t from) {
        if (found_ == std::string_view::npos && searched_) return found_;
        if (!searched_ || found_ < from) {
            found_ = s_.find(c_, from);
            searched_ = true;
        }
        return found_;
    }

   private:
    std::string_view s_;
    char c_;
    bool searched_ = false;
    std::size_t found_ = std::string_view::npos;
};

struct Token {
    enum Kind : uint8_t { Text, Code, Link, Delim } kind;
    std::string_view text, target;  // parts of the block's text
    bool canOpen = false, canClose = false;
    bool matched = false, opens = false;  // paired with another delimiter; the first of them
};

// Reads the inline text of one block after another, keeping its token list's room.
class InlineReader {
   public:
    std::vector<Run> Read(std::string_view s) {
        s_ = s;
        tokens_.clear();
        Scan();
        Match();
        return Emit();
    }

   private:
    void Literal(std::string_view t) { tokens_.push_back({Token::Text, t, {}}); }

    // The end of a bare URL starting at `i`, or `i` when there is none.
    std::size_t BareUrlEnd(std::size_t i) const {
        if (i > 0 && IsWordByte(s_[i - 1])) return i;
        if (!IsWebLink(s_.substr(i))) return i;
        std::size_t j = i;
        while (j < s_.size() && !IsSpace(s_[j]) && s_[j] != '<') ++j;
        // Punctuation after a URL ends the sentence, not the address.
        while (j > i && std::string_view(".,;:!?)'\"").find(s_[j - 1]) != std::string_view::npos)
            --j;
        const std::size_t scheme = (s_[i + 4] | 0x20) == 's' ? 8 : 7;  // "https://", "http://"
        return j - i > scheme ? j : i;
    }

    void Scan() {
        NextOf tick(s_, '`'), bracket(s_, ']'), paren(s_, ')');
        std::size_t i = 0;
        while (i < s_.size()) {
            const char c = s_[i];
            if (c == '\\' && i + 1 < s_.size() && IsAsciiPunct(s_[i + 1])) {
                Literal(s_.substr(i + 1, 1));
                i += 2;
            } else if (c == '`') {
                const std::size_t j = tick.From(i + 1);
                if (j == std::string_view::npos) {
                    Literal("`");
                    ++i;
                } else {
                    tokens_.push_back({Token::Code, s_.substr(i + 1, j - i - 1), {}});
                    i = j + 1;
                }
            } else if (c == '[') {
                const std::size_t j = bracket.From(i + 1);
                const std::size_t m =
                    j != std::string_view::npos && j + 1 < s_.size() && s_[j + 1] == '('
                        ? paren.From(j + 2)
                        : std::string_view::npos;
                const std::string_view target =
                    m == std::string_view::npos ? std::string_view() : s_.substr(j + 2, m - j - 2);
                if (j > i + 1 && !target.empty() &&
                    std::none_of(target.begin(), target.end(), IsSpace)) {
                    tokens_.push_back({Token::Link, s_.substr(i + 1, j - i - 1), target});
                    i = m + 1;
                } else {
                    Literal("[");
                    ++i;
                }
            } else if ((c == 'h' || c == 'H') && BareUrlEnd(i) > i) {
                const std::size_t j = BareUrlEnd(i);
                tokens_.push_back({Token::Link, s_.substr(i, j - i), s_.substr(i, j - i)});
                i = j;
            } else if (c == '*' || c == '_') {
                std::size_t j = i;
                while (j < s_.size() && s_[j] == c) ++j;
                const std::size_t n = j - i;
                if (n > 2) {
                    Literal(s_.substr(i, n));
                } else {
                    // Opens before a non-space, closes after one; "_" not inside a word.
                    const char before = i > 0 ? s_[i - 1] : ' ';
                    const char after = j < s_.size() ? s_[j] : ' ';
                    Token t{Token::Delim, s_.substr(i, n), {}};
                    t.canOpen = !IsSpace(after) && (c == '*' || !IsWordByte(before));
                    t.canClose = !IsSpace(before) && (c == '*' || !IsWordByte(after));
                    tokens_.push_back(std::move(t));
                }
                i = j;
            } else {
                std::size_t j = i + 1;
                while (j < s_.size() &&
                       std::string_view("\\`[hH*_").find(s_[j]) == std::string_view::npos)
                    ++j;
                Literal(s_.substr(i, j - i));
                i = j;
            }
        }
    }

    // Pairs each closing delimiter with the nearest open one of the same text; openers left
    // between them, and at the end, stay literal. At most one opener of each of the four
    // delimiters is open at a time.
    void Match() {
        std::vector<std::size_t> open;
        for (std::size_t k = 0; k < tokens_.size(); ++k) {
            Token& t = tokens_[k];
            if (t.kind != Token::Delim) continue;
            const auto same = std::find_if(open.rbegin(), open.rend(), [&](std::size_t o) {
                return tokens_[o].text == t.text;
            });
            if (t.canClose && same != open.rend()) {
                tokens_[*same].matched = t.matched = true;
                tokens_[*same].opens = true;
                open.erase(std::prev(same.base()), open.end());
            } else if (t.canOpen && same == open.rend()) {
                open.push_back(k);
            }
        }
    }

    std::vector<Run> Emit() {
        std::vector<Run> runs;
        int bold = 0, italic = 0;
        auto add = [&](std::string_view text, uint8_t style, std::string_view target = {}) {
            if (text.empty()) return;
            if (bold > 0) style |= kBold;
            if (italic > 0) style |= kItalic;
            if (!runs.empty() && runs.back().style == style && !(style & kLink))
                runs.back().text += text;
            else
                runs.push_back({std::string(text), style, std::string(target)});
        };
        for (const Token& t : tokens_) {
            switch (t.kind) {
                case Token::Text: add(t.text, kPlain); break;
                case Token::Code: add(t.text, kCode); break;
                case Token::Link: add(t.text, kLink, t.target); break;
                case Token::Delim:
                    if (!t.matched) {
                        add(t.text, kPlain);
                        break;
                    }
                    (t.text.size() == 2 ? bold : italic) += t.opens ? 1 : -1;
                    break;
            }
        }
        return runs;
    }

    std::string_view s_;
    std::vector<Token> tokens_;
};

bool Heading(std::string_view rest, int& level, std::string_view& text) {
    std::size_t n = 0;
    while (n < rest.size() && n < 4 && rest[n] == '#') ++n;
    if (n == 0 || n > 3 || (n < rest.size() && rest[n] != ' ' && rest[n] != '\t')) return false;
    level = static_cast<int>(n);
    text = TrimLeft(rest.substr(n));
    return true;
}

bool ListItem(std::string_view rest, Block& block, std::string_view& text) {
    if (rest.size() >= 2 && (rest[0] == '-' || rest[0] == '*' || rest[0] == '+') &&
        (rest[1] == ' ' || rest[1] == '\t')) {
        block.kind = BlockKind::Bullet;
        text = TrimLeft(rest.substr(2));
        return true;
    }
    std::size_t n = 0;
    uint32_t number = 0;
    while (n < rest.size() && n < 9 && rest[n] >= '0' && rest[n] <= '9')
        number = number * 10 + static_cast<uint32_t>(rest[n++] - '0');
    if (n == 0 || n + 1 >= rest.size() || (rest[n] != '.' && rest[n] != ')') ||
        (rest[n + 1] != ' ' && rest[n + 1] != '\t'))
        return false;
    block.kind = BlockKind::Numbered;
    block.number = number;
    text = TrimLeft(rest.substr(n + 2));
    return true;
}

}  // namespace

std::string_view CutAtBoundary(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t n = limit;
    // A UTF-8 character is at most four bytes: at most three continuation bytes to step over.
    for (int k = 0; k < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; ++k)
        --n;
    return text.substr(0, n);
}

bool IsWebLink(std::string_view target) {
    auto starts = [&](std::string_view scheme) {
        if (target.size() < scheme.size()) return false;
        for (std::size_t i = 0; i < scheme.size(); ++i) {
            const char c = target[i];
            if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != scheme[i]) return false;
        }
        return true;
    };
    return starts("http://") || starts("https://");
}

Document Parse(std::string_view text, std::size_t limit) {
    Document doc;
    const std::string_view in = CutAtBoundary(text, limit);
    std::vector<int> indents;  // the indentation of each open list level
    bool open = false;         // the last block takes continuation lines
    std::string buffer;        // its text so far
    InlineReader reader;
    auto close = [&] {
        if (open) doc.blocks.back().runs = reader.Read(buffer);
        open = false;
        buffer.clear();
    };
    auto start = [&](Block block, std::string_view body) {
        close();
        doc.blocks.push_back(std::move(block));
        buffer.assign(TrimRight(body));
        open = true;
    };
    for (std::size_t pos = 0; pos < in.size();) {
        std::size_t end = in.find('\n', pos);
        if (end == std::string_view::npos) end = in.size();
        const std::string_view line = in.substr(pos, end - pos);
        pos = end + 1;
        int column = 0;
        std::size_t i = 0;
        for (; i < line.size() && (line[i] == ' ' || line[i] == '\t'); ++i)
            column = line[i] == '\t' ? column / 4 * 4 + 4 : column + 1;
        const std::string_view rest = TrimRight(line.substr(i));
        std::string_view body;
        Block block;
        if (rest.empty()) {
            close();
        } else if (column < 4 && Heading(rest, block.level, body)) {
            block.kind = BlockKind::Heading;
            indents.clear();
            start(std::move(block), body);
            close();
        } else if (ListItem(rest, block, body)) {
            while (!indents.empty() && indents.back() > column) indents.pop_back();
            if ((indents.empty() || indents.back() < column) &&
                indents.size() < static_cast<std::size_t>(kMaxListDepth))
                indents.push_back(column);
            block.level = std::max<int>(1, static_cast<int>(indents.size()));
            start(std::move(block), body);
        } else if (open) {
            buffer += ' ';
            buffer += rest;
        } else {
            indents.clear();
            start(std::move(block), rest);
        }
    }
    close();
    if (in.size() < text.size()) {
        doc.blocks.push_back({BlockKind::Cut, 0, 0, {}});
        doc.cut = true;
    }
    return doc;
}

Document PlainText(std::string_view text) {
    Document doc;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end + 1;
        Block block;
        if (!line.empty()) block.runs.push_back({std::string(line), kPlain, {}});
        doc.blocks.push_back(std::move(block));
    }
    return doc;
}

}  // namespace orv::markdown
