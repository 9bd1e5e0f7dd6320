// The editor's platform services under the real platform libraries: the locale-aware number
// conversion, reading files whole, replacing files without losing them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "maker/win_support.h"

namespace orv::maker {
namespace {

std::string TestFolder(const std::string& name) {
    const char* binary = std::getenv("ORV_BINARY_DIR");
    std::string folder = std::string("Z:") + (binary ? binary : "/tmp") + "/maker_win/" + name;
    for (char& c : folder) {
        if (c == '/') c = '\\';
    }
    // Start empty: remove what an earlier run left.
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string file = folder + "\\" + data.cFileName;
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
            RemoveDirectoryA(file.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    for (std::size_t at = folder.find('\\', 3); at != std::string::npos;
         at = folder.find('\\', at + 1)) {
        CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
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
    EXPECT_EQ(WriteFileReplacing(file, AllBytes()), static_cast<DWORD>(ERROR_SUCCESS));
    FileRead read = ReadWholeFile(file, 1000);
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.Bytes, AllBytes());

    EXPECT_EQ(WriteFileReplacing(file, "short"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadWholeFile(file, 1000).Bytes, "short");
    EXPECT_EQ(WriteFileReplacing(file, ""), static_cast<DWORD>(ERROR_SUCCESS));
    read = ReadWholeFile(file, 1000);
    EXPECT_TRUE(read.Ok());
    EXPECT_EQ(read.Bytes, "");
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"update.orv"});
}

TEST(ReplacingWrite, FailureKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const std::string folder = TestFolder("fail");
    const std::string file = folder + "\\update.orv";
    ASSERT_EQ(WriteFileReplacing(file, "old content"), static_cast<DWORD>(ERROR_SUCCESS));

    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(WriteFileReplacing(file, "new"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadWholeFile(file, 1000).Bytes, "old content");

    // A folder where the file should be.
    ASSERT_TRUE(CreateDirectoryA((folder + "\\dir.orv").c_str(), nullptr));
    EXPECT_NE(WriteFileReplacing(folder + "\\dir.orv", "new"), static_cast<DWORD>(ERROR_SUCCESS));

    // A folder that does not exist.
    const DWORD missing = WriteFileReplacing(folder + "\\missing\\update.orv", "new");
    EXPECT_TRUE(missing == ERROR_PATH_NOT_FOUND || missing == ERROR_DIRECTORY) << missing;
    EXPECT_FALSE(SystemErrorText(missing).empty());

    std::vector<std::string> left = Entries(folder);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"dir.orv", "update.orv"}));
}

TEST(WholeRead, ReadsEveryByteUpToTheLimitAndReportsWhyNot) {
    const std::string folder = TestFolder("read");
    const std::string file = folder + "\\data.bin";
    ASSERT_EQ(WriteFileReplacing(file, std::string(100, '\0')), static_cast<DWORD>(ERROR_SUCCESS));
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
    EXPECT_NE(SystemErrorText(read.Error).rfind("Error ", 0), 0u) << SystemErrorText(read.Error);
}

TEST(FileSizeQuery, SizesOfFilesButNotOfFolders) {
    const std::string folder = TestFolder("size");
    ASSERT_EQ(WriteFileReplacing(folder + "\\p.bin", std::string(777, 'p')),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(QueryFileSize(folder + "\\p.bin").Size, 777u);
    EXPECT_EQ(QueryFileSize(folder + "\\p.bin").Error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(QueryFileSize(folder + "\\none").Error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(QueryFileSize(folder).Error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(Program, PathFolderAndErrorTexts) {
    const std::string path = ProgramPath();
    const std::string folder = ProgramFolder();
    EXPECT_EQ(path.rfind(folder + "\\", 0), 0u);
    EXPECT_EQ(path.find('\\', folder.size() + 1), std::string::npos);
    EXPECT_EQ(ReadFileVersion(path), std::nullopt);  // a test program has no version resource
    const std::string text = SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(SystemErrorText(0xDEAD1234u), "Error 3735884340.");
}

}  // namespace
}  // namespace orv::maker
