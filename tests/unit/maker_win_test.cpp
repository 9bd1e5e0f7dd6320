// The editor's platform services under the real platform libraries: the locale-aware number
// conversion, reading files whole, replacing files without losing them.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "maker/win_support.h"
#include "tests/support/files.h"

namespace orv::maker {
namespace {

std::string TestFolder(const std::string& name) {
    return test::EmptyFolder(test::WinPath(test::Env("ORV_BINARY_DIR")) + "\\maker_win\\" + name);
}

std::vector<std::string> Entries(const std::string& folder) {
    return test::FolderEntries(folder);
}

std::string AllBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes + "\r\n\r\n|\0end";
}

TEST(NumberConversion, OnlyTextsThatAreNoNumbersAreReportedSo) {
    for (const char* text : {"", "a", "-", "1a", "1|2", "v2"}) {
        EXPECT_EQ(ConvertToInt32(text), NumberOutcome::NotANumber) << text;
    }
    // Locale-aware: spaces, signs, a decimal point and grouping are accepted.
    for (const char* text : {"0", "12", " 12 ", "+5", "-7", "1.5", "1,000"}) {
        EXPECT_EQ(ConvertToInt32(text), NumberOutcome::Number) << text;
    }
    for (const char* text : {"2147483648", "99999999999", "-2147483649"}) {
        EXPECT_EQ(ConvertToInt32(text), NumberOutcome::OutOfRange) << text;
    }
}

TEST(ReplacingWrite, WritesNewFilesAndReplacesLongerOnesWhole) {
    const std::string folder = TestFolder("write");
    const std::string file = folder + "\\update.orv";
    EXPECT_EQ(win::ReplaceFileContents(file, AllBytes()), static_cast<DWORD>(ERROR_SUCCESS));
    FileRead read = ReadWholeFile(file, 1000);
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.Bytes, AllBytes());

    EXPECT_EQ(win::ReplaceFileContents(file, "short"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadWholeFile(file, 1000).Bytes, "short");
    EXPECT_EQ(win::ReplaceFileContents(file, ""), static_cast<DWORD>(ERROR_SUCCESS));
    read = ReadWholeFile(file, 1000);
    EXPECT_TRUE(read.Ok());
    EXPECT_EQ(read.Bytes, "");
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"update.orv"});

    // A hidden system file stays hidden and system after it was replaced.
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(win::ReplaceFileContents(file, "again"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadWholeFile(file, 1000).Bytes, "again");
    const DWORD kept = GetFileAttributesA(file.c_str());
    EXPECT_EQ(kept & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        << std::hex << kept;
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ReplacingWrite, FailureKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const std::string folder = TestFolder("fail");
    const std::string file = folder + "\\update.orv";
    ASSERT_EQ(win::ReplaceFileContents(file, "old content"), static_cast<DWORD>(ERROR_SUCCESS));

    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(win::ReplaceFileContents(file, "new"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadWholeFile(file, 1000).Bytes, "old content");

    // A folder where the file should be.
    ASSERT_TRUE(CreateDirectoryA((folder + "\\dir.orv").c_str(), nullptr));
    EXPECT_NE(win::ReplaceFileContents(folder + "\\dir.orv", "new"),
              static_cast<DWORD>(ERROR_SUCCESS));

    // A folder that does not exist.
    const DWORD missing = win::ReplaceFileContents(folder + "\\missing\\update.orv", "new");
    EXPECT_TRUE(missing == ERROR_PATH_NOT_FOUND || missing == ERROR_DIRECTORY) << missing;
    EXPECT_FALSE(win::SystemErrorText(missing).empty());

    std::vector<std::string> left = Entries(folder);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"dir.orv", "update.orv"}));
}

TEST(WholeRead, ReadsEveryByteUpToTheLimitAndReportsWhyNot) {
    const std::string folder = TestFolder("read");
    const std::string file = folder + "\\data.bin";
    ASSERT_EQ(win::ReplaceFileContents(file, std::string(100, '\0')),
              static_cast<DWORD>(ERROR_SUCCESS));
    FileRead read = ReadWholeFile(file, 100);
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.Bytes, std::string(100, '\0'));
    read = ReadWholeFile(file, 99);
    EXPECT_TRUE(read.TooLarge);
    EXPECT_FALSE(read.Ok());
    EXPECT_TRUE(read.Bytes.empty());

    read = ReadWholeFile(folder + "\\none.orv", 100);
    EXPECT_EQ(read.Error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE lock = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    read = ReadWholeFile(file, 100);
    CloseHandle(lock);
    EXPECT_EQ(read.Error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // The system's own wording, not the number.
    EXPECT_NE(win::SystemErrorText(read.Error).rfind("Error ", 0), 0u)
        << win::SystemErrorText(read.Error);
}

TEST(FileSizeQuery, SizesOfFilesButNotOfFolders) {
    const std::string folder = TestFolder("size");
    ASSERT_EQ(win::ReplaceFileContents(folder + "\\p.bin", std::string(777, 'p')),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(QueryFileSize(folder + "\\p.bin").Size, 777u);
    EXPECT_EQ(QueryFileSize(folder + "\\p.bin").Error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(QueryFileSize(folder + "\\none").Error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(QueryFileSize(folder).Error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(Program, PathFolderAndErrorTexts) {
    const std::string path = win::ModulePath();
    const std::string folder = win::ModuleFolder();
    EXPECT_EQ(path.rfind(folder + "\\", 0), 0u);
    EXPECT_EQ(path.find('\\', folder.size() + 1), std::string::npos);
    EXPECT_EQ(win::ReadFileVersion(path), std::nullopt);  // a test program has no version resource
    const std::string text = win::SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(win::SystemErrorText(0xDEAD1234u), "Error 3735884340.");
}

}  // namespace
}  // namespace orv::maker
