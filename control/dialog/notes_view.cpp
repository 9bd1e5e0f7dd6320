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

void NotesView::Insert(const std::wstring& text, const CHARFORMAT2W& format) {
    // The format of the empty selection at the end is the one inserted text takes.
    SendMessageW(edit_, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void NotesView::Show(HWND edit, const markdown::Document& doc, const std::wstring& cutMark) {
    using markdown::BlockKind;
    edit_ = edit;
    links_.clear();
    SendMessageW(edit, WM_SETREDRAW, FALSE, 0);
    SetWindowTextW(edit, L"");
    SendMessageW(edit, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageW(edit, EM_SETUNDOLIMIT, 0, 0);  // read-only: nothing to undo
    // The notes' own font (the dialog's) is the default format: runs change only what differs.
    CHARFORMAT2W base = {};
    base.cbSize = sizeof base;
    SendMessageW(edit, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&base));
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        const markdown::Block& block = doc.blocks[i];
        CHARFORMAT2W plain = {};
        plain.cbSize = sizeof plain;
        plain.dwMask = CFM_BOLD | CFM_ITALIC | CFM_LINK | CFM_FACE | CFM_SIZE;
        plain.yHeight = base.yHeight;
        std::copy(std::begin(base.szFaceName), std::end(base.szFaceName), plain.szFaceName);
        if (i > 0) Insert(L"\r", plain);
        const bool list = block.kind == BlockKind::Bullet || block.kind == BlockKind::Numbered;
        PARAFORMAT2 para = {};
        para.cbSize = sizeof para;
        para.dwMask = PFM_STARTINDENT | PFM_OFFSET | PFM_TABSTOPS | PFM_SPACEBEFORE;
        para.dxStartIndent = list ? (block.level - 1) * kIndentTwips : 0;
        para.dxOffset = list ? kHangTwips : 0;
        para.cTabCount = 1;
        para.rgxTabs[0] = para.dxStartIndent + kHangTwips;
        para.dySpaceBefore = block.kind == BlockKind::Heading && i > 0 ? 120 : 0;
        SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&para));
        if (block.kind == BlockKind::Bullet)
            Insert(std::wstring(Bullet(block.level)) + L"\t", plain);
        if (block.kind == BlockKind::Numbered)
            Insert(std::to_wstring(block.number) + L".\t", plain);
        if (block.kind == BlockKind::Cut) {
            CHARFORMAT2W mark = plain;
            mark.dwEffects = CFE_ITALIC;
            Insert(cutMark, mark);
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
            CHARRANGE at = {};
            SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&at));
            // Pieces of Chinese, Japanese or Korean in a face that has them; the second half
            // of a surrogate pair stays with its first.
            const std::wstring text = win::Utf8ToWide(run.text);
            for (std::size_t k = 0; k < text.size();) {
                const bool cjk = IsCjk(text[k]);
                std::size_t e = k + 1;
                while (e < text.size() &&
                       (IsCjk(text[e]) == cjk || (text[e] >= 0xDC00 && text[e] <= 0xDFFF)))
                    ++e;
                CHARFORMAT2W piece = format;
                if (cjk && !CjkFace().empty())
                    lstrcpynW(piece.szFaceName, CjkFace().c_str(), LF_FACESIZE);
                Insert(text.substr(k, e - k), piece);
                k = e;
            }
            if (run.style & markdown::kLink) {
                CHARRANGE after = {};
                SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&after));
                links_.push_back({at.cpMax, after.cpMax, run.target});
            }
        }
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
