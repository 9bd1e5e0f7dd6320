#include "control/dialog/notes_view.h"

#include <shellapi.h>

#include <algorithm>

#include "common/win/system.h"

namespace orv::dialog {
namespace {

// List levels indent by this much; an item's text hangs after its bullet or number.
constexpr LONG kIndentTwips = 320;
constexpr LONG kHangTwips = 300;
// Headings 1 to 3, in tenths of the notes' own size.
constexpr LONG kHeadingScale[] = {16, 13, 11};

// Bullets by list depth: a dot, then a dash, alternating.
const wchar_t* Bullet(int level) {
    return level % 2 ? L"\u2022" : L"\u2013";
}

int CALLBACK TakeFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM out) {
    if (font->lfFaceName[0] == L'@') return 1;  // a face for vertical text
    *reinterpret_cast<std::wstring*>(out) = font->lfFaceName;
    return 0;
}

// The first installed face of `charset` (named `name` when given), or "".
std::wstring InstalledFace(BYTE charset, const wchar_t* name = L"") {
    LOGFONTW font = {};
    font.lfCharSet = charset;
    lstrcpynW(font.lfFaceName, name, LF_FACESIZE);
    std::wstring face;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &font, TakeFace, reinterpret_cast<LPARAM>(&face), 0);
    ReleaseDC(nullptr, dc);
    return face;
}

// A face with Chinese, Japanese and Korean characters: the dialog's font may have none, and
// the platform's RichEdit does not always find one by itself (Wine's does not).
const std::wstring& CjkFace() {
    static const std::wstring face = [] {
        for (BYTE charset : {GB2312_CHARSET, SHIFTJIS_CHARSET, HANGUL_CHARSET, CHINESEBIG5_CHARSET})
            if (std::wstring found = InstalledFace(charset); !found.empty()) return found;
        return std::wstring();
    }();
    return face;
}

const std::wstring& FixedFace() {
    static const std::wstring face = [] {
        for (const wchar_t* name :
             {L"Consolas", L"Courier New", L"DejaVu Sans Mono", L"Liberation Mono"})
            if (!InstalledFace(DEFAULT_CHARSET, name).empty()) return std::wstring(name);
        return std::wstring(L"Courier New");
    }();
    return face;
}

bool IsCjk(wchar_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF) ||
           (c >= 0xD840 && c <= 0xD87F);  // the first half of an ideograph past U+FFFF
}

}  // namespace

const wchar_t* NotesView::WindowClass() {
    // Kept for the process: dialogs come and go, the class stays registered.
    static const HMODULE library = LoadLibraryW(L"msftedit.dll");
    (void)library;
    return MSFTEDIT_CLASS;
}

void NotesView::Show(HWND edit, const markdown::Document& doc, const std::wstring& cutMark) {
    using markdown::BlockKind;
    edit_ = edit;
    links_.clear();
    // The whole text goes in at once, then only what differs from the notes' own format (the
    // dialog's font) is formatted by range: one insertion per run would re-lay the text out
    // each time.
    CHARFORMAT2W base = {};
    base.cbSize = sizeof base;
    SendMessageW(edit, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&base));
    CHARFORMAT2W plain = {};
    plain.cbSize = sizeof plain;
    plain.dwMask = CFM_BOLD | CFM_ITALIC | CFM_LINK | CFM_FACE | CFM_SIZE;
    plain.yHeight = base.yHeight;
    std::copy(std::begin(base.szFaceName), std::end(base.szFaceName), plain.szFaceName);
    struct Span {
        LONG begin, end;
        CHARFORMAT2W format;
    };
    struct Para {
        LONG at;
        PARAFORMAT2 format;
    };
    std::wstring text;
    std::vector<Span> spans;
    std::vector<Para> paras;
    // Character positions count UTF-16 units, a paragraph's end as one.
    auto add = [&](const std::wstring& piece, const CHARFORMAT2W* format) {
        const auto begin = static_cast<LONG>(text.size());
        text += piece;
        if (format) spans.push_back({begin, static_cast<LONG>(text.size()), *format});
    };
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        const markdown::Block& block = doc.blocks[i];
        if (i > 0) text += L'\r';
        const bool list = block.kind == BlockKind::Bullet || block.kind == BlockKind::Numbered;
        if (list || (block.kind == BlockKind::Heading && i > 0)) {
            PARAFORMAT2 para = {};
            para.cbSize = sizeof para;
            para.dwMask = PFM_STARTINDENT | PFM_OFFSET | PFM_TABSTOPS | PFM_SPACEBEFORE;
            para.dxStartIndent = list ? (block.level - 1) * kIndentTwips : 0;
            para.dxOffset = list ? kHangTwips : 0;
            para.cTabCount = 1;
            para.rgxTabs[0] = para.dxStartIndent + kHangTwips;
            para.dySpaceBefore = list ? 0 : 120;
            paras.push_back({static_cast<LONG>(text.size()), para});
        }
        if (block.kind == BlockKind::Bullet)
            add(std::wstring(Bullet(block.level)) + L"\t", nullptr);
        if (block.kind == BlockKind::Numbered) add(std::to_wstring(block.number) + L".\t", nullptr);
        if (block.kind == BlockKind::Cut) {
            CHARFORMAT2W mark = plain;
            mark.dwEffects = CFE_ITALIC;
            add(cutMark, &mark);
        }
        for (const markdown::Run& run : block.runs) {
            CHARFORMAT2W format = plain;
            if (block.kind == BlockKind::Heading) {
                format.dwEffects |= CFE_BOLD;
                format.yHeight =
                    base.yHeight * kHeadingScale[std::clamp(block.level, 1, 3) - 1] / 10;
            }
            if (run.style & markdown::kBold) format.dwEffects |= CFE_BOLD;
            if (run.style & markdown::kItalic) format.dwEffects |= CFE_ITALIC;
            if (run.style & markdown::kLink) format.dwEffects |= CFE_LINK;
            if (run.style & markdown::kCode)
                lstrcpynW(format.szFaceName, FixedFace().c_str(), LF_FACESIZE);
            const bool styled = block.kind == BlockKind::Heading || run.style != markdown::kPlain;
            const auto at = static_cast<LONG>(text.size());
            // Pieces of Chinese, Japanese or Korean in a face that has them; the second half
            // of a surrogate pair stays with its first.
            const std::wstring wide = win::Utf8ToWide(run.text);
            for (std::size_t k = 0; k < wide.size();) {
                const bool cjk = IsCjk(wide[k]) && !CjkFace().empty();
                std::size_t e = k + 1;
                while (e < wide.size() && (IsCjk(wide[e]) == IsCjk(wide[k]) ||
                                           (wide[e] >= 0xDC00 && wide[e] <= 0xDFFF)))
                    ++e;
                CHARFORMAT2W piece = format;
                if (cjk) lstrcpynW(piece.szFaceName, CjkFace().c_str(), LF_FACESIZE);
                add(wide.substr(k, e - k), styled || cjk ? &piece : nullptr);
                k = e;
            }
            if (run.style & markdown::kLink)
                links_.push_back({at, static_cast<LONG>(text.size()), run.target});
        }
    }
    SendMessageW(edit, WM_SETREDRAW, FALSE, 0);
    SendMessageW(edit, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageW(edit, EM_SETUNDOLIMIT, 0, 0);  // read-only: nothing to undo
    SetWindowTextW(edit, L"");
    SendMessageW(edit, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&plain));
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    // Paragraphs start plain whatever the previous notes left.
    PARAFORMAT2 flat = {};
    flat.cbSize = sizeof flat;
    flat.dwMask = PFM_STARTINDENT | PFM_OFFSET | PFM_TABSTOPS | PFM_SPACEBEFORE;
    const CHARRANGE all = {0, -1};
    SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
    SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&flat));
    for (const Para& p : paras) {
        const CHARRANGE range = {p.at, p.at};
        SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
        SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&p.format));
    }
    for (const Span& span : spans) {
        const CHARRANGE range = {span.begin, span.end};
        SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
        SendMessageW(edit, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&span.format));
    }
    const CHARRANGE top = {0, 0};
    SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&top));
    SendMessageW(edit, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(edit, nullptr, TRUE);
}

std::string NotesView::LinkAt(LONG cp) const {
    for (const Link& link : links_)
        if (cp >= link.begin && cp < link.end) return link.target;
    return {};
}

bool NotesView::OnNotify(const NMHDR& header) const {
    if (header.hwndFrom != edit_ || header.code != EN_LINK) return false;
    const auto& link = reinterpret_cast<const ENLINK&>(header);
    if (link.msg != WM_LBUTTONUP) return true;
    // Only web addresses: file:, javascript:, mailto: and relative targets do nothing.
    const std::string target = LinkAt(link.chrg.cpMin);
    if (markdown::IsWebLink(target))
        ShellExecuteW(nullptr, L"open", win::Utf8ToWide(target).c_str(), nullptr, nullptr,
                      SW_SHOWNORMAL);
    return true;
}

}  // namespace orv::dialog
