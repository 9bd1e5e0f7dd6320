// The editor's decisions that need no window: reserved-character guards, the version boxes'
// numeric warning, the checks before saving, the plain text of the form, reading a file into
// the form, the date lists and the file dialog's buffers.
// Portable: no <windows.h>. Texts are byte strings, one byte per ANSI character.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/updateinfo/updateinfo.h"

namespace orv::maker {

// Title of the main window and of every message box of the editor.
inline constexpr std::string_view kAppTitle = "Orvane File Maker";

// The controls of the main window that the logic names (focus targets, guards).
enum class Box { Text1, Text2, Text3, Text4, Text5, Text6, Text7, Text8, Command1 };

// ---- Reserved-character guards ----------------------------------------------------------

// Which guard a box runs on each change of its text.
enum class Guard {
    None,
    Separator,      // Text1, Text6: the field separator "|"
    VersionFourth,  // Text5: ".", then ",", then "|"
};

Guard GuardOf(Box box);

// The text with the guarded characters removed, or nothing when there was nothing to remove
// (then the box is left alone and its caret stays where it is). After a removal the caller
// sets the text and puts the caret at its end.
std::optional<std::string> ApplyGuard(Guard guard, std::string_view text);

// ---- Numeric check of the version boxes (Text2 to Text4) --------------------------------

// The outcome of the platform's locale-aware conversion of a text to a 32-bit integer.
enum class NumberOutcome { Number, NotANumber, OutOfRange, OtherFailure };

inline constexpr std::string_view kNumericWarning = "This version value must be numeric";

// Only a text that is not a number draws the warning; an overflow or any other failure of
// the conversion does not.
inline bool NeedsNumericWarning(NumberOutcome outcome) {
    return outcome == NumberOutcome::NotANumber;
}

inline bool HasNumericCheck(Box box) {
    return box == Box::Text2 || box == Box::Text3 || box == Box::Text4;
}

// ---- The record on the form --------------------------------------------------------------

// Everything SaveUpdate reads from the form, as the controls hold it.
struct FormRecord {
    std::string Name;                    // Text1
    std::array<std::string, 4> Version;  // Text2 to Text5
    std::string Comments;                // Text6
    std::string PackageFile;             // Text7
    std::string SizeText;                // Text8 (shown only; the size written is PackageFileSize)
    std::string Month, Day, Year;        // the selected entries of Combo1 to Combo3
    int32_t PackageFileSize = 0;
};

// A check that stopped a save: its message, and the control that gets the focus.
struct Refusal {
    std::string_view Message;
    Box Focus;
};

inline constexpr std::string_view kTooLongMessage =
    "The update information is too long: it may hold at most 32767 characters.";

// The checks SaveUpdate runs before writing, in order; the first that fails, or nothing.
// A box counts as empty only when it holds no characters at all. After the six field checks
// comes the length limit of the format (the codec counts positions in 16 bits).
std::optional<Refusal> CheckBeforeSave(const FormRecord& record);

// The plain text of the record: the six fields joined by "|", texts taken as they stand.
std::string PlainTextOf(const FormRecord& record);

// ---- Reading a file into the form --------------------------------------------------------

inline constexpr std::string_view kIncompleteMessage =
    "This update file is incomplete. The texts it lacks were left empty, a missing or invalid "
    "date part shows today's, and a missing or invalid size shows 0.";

// What Open puts into the form. Date entries are list indexes; a missing one keeps today's.
struct LoadedForm {
    std::string Name;
    std::array<std::string, 4> Version;
    std::optional<int> MonthIndex, DayIndex, YearIndex;
    std::string Comments;
    std::string PackageFile;
    std::string SizeText;  // field 6 as written, or "0" when it is missing or not a number
    int32_t PackageFileSize = 0;
    bool Complete = true;  // false: the user is told once that the file lacked something
    bool Signed = false;   // a valid digest or signature after field 6
};

// Splits an unscrambled file text the editor's way and decides what each control shows.
LoadedForm LoadFromPlainText(std::string_view plain);

// ---- Date lists --------------------------------------------------------------------------

inline constexpr int kFirstYear = 2000;
inline constexpr int kLastYear = 2100;

struct DateIndexes {
    int Month, Day, Year;
};

// The list indexes of a calendar date. A year outside the list selects its nearest entry.
DateIndexes DateListIndexes(int year, int month, int day);

// The entries of the lists: "01".."12", "01".."31", "2000".."2100".
std::string TwoDigits(int n);

// ---- Package ------------------------------------------------------------------------------

// The size field holds a 32-bit signed number: a package of 2 GiB or more cannot be recorded.
inline constexpr uint64_t kPackageSizeLimit = uint64_t{1} << 31;

inline constexpr std::string_view kPackageTooLargeMessage =
    "The update package is too large: its size must be less than 2 GB (2147483648 bytes).";

// The part of a full path after its last backslash (the whole text when it has none).
std::string FileNameFromPath(std::string_view path);

// ---- Common file dialogs ------------------------------------------------------------------

// Size of the dialog's file and file-title buffers, NUL characters included.
inline constexpr std::size_t kDialogBufferSize = 255;

// A "|"-separated filter list as the platform takes it: every "|" becomes NUL and one more
// NUL closes the list (the string's own terminator then follows it).
std::string DialogFilter(std::string_view filter);

// The initial file name followed by NUL characters, kDialogBufferSize characters in all
// (a name too long for the buffer is cut so that at least one NUL remains).
std::string DialogFileBuffer(std::string_view initialName);

// ---- Help and About -----------------------------------------------------------------------

// The help topic as HtmlHelp takes it: the program's folder, the help file, the topic.
std::string HelpTopicPath(std::string_view programFolder);

}  // namespace orv::maker
