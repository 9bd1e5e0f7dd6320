// The release notes in the update dialog: a read-only RichEdit filled from the Markdown
// document (common/markdown) with character and paragraph formats. Links are ranges marked
// CFE_LINK whose targets the view keeps; a click on one opens it through the shell only when it
// is an http:// or https:// address.
#pragma once

#include <windows.h>

#include <richedit.h>

#include <string>
#include <vector>

#include "common/markdown/markdown.h"

namespace orv::dialog {

class NotesView {
   public:
    // The window class of the notes (RICHEDIT50W); loads the library that registers it.
    static const wchar_t* WindowClass();

    // Replaces the text of `edit` with `doc`; a Cut block shows `cutMark`.
    void Show(HWND edit, const markdown::Document& doc, const std::wstring& cutMark);

    // The target of the link at character position `cp` ("" when there is none).
    std::string LinkAt(LONG cp) const;

    // WM_NOTIFY from the notes: a left click on a link opens a web link. True when it was a
    // link notification of the notes.
    bool OnNotify(const NMHDR& header) const;

   private:
    struct Link {
        LONG begin, end;
        std::string target;  // as written (UTF-8)
    };
    HWND edit_ = nullptr;
    std::vector<Link> links_;
};

}  // namespace orv::dialog
