// The settings file's functions over the system's own private-profile
// functions: the semantics the program relies on, as on POSIX systems.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/profile.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

struct WindowsProfileTest : ::testing::Test {
    void SetUp() override {
        dir = fs::temp_directory_path() / "kolva-profile-win";
        fs::remove_all(dir);
        fs::create_directories(dir);
        file = (dir / "T\xC3\xA9st.INI").string();  // a name outside ASCII
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string read(const char* s, const char* k, uint32_t size = 256) {
        std::string buf(size, '\x7f');
        const uint32_t n = GetPrivateProfileStringA(s, k, "DEF ", buf.data(), size, file.c_str());
        return buf.substr(0, n);
    }
    fs::path dir;
    std::string file;
};

TEST_F(WindowsProfileTest, ReadsWritesAndErasesAsOnEverySystem) {
    EXPECT_EQ(read("A", "k"), "DEF");  // missing file: the default, trailing blanks trimmed
    ASSERT_TRUE(WritePrivateProfileStringA("Main", "Path", "C:\\Fw\\\xC3\xA9.syx", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Main", "Pad", "  both  ", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "x", "1", file.c_str()));
    EXPECT_EQ(read("MAIN", "path"), "C:\\Fw\\\xC3\xA9.syx");
    EXPECT_EQ(read("Main", "Pad"), "  both  ");
    EXPECT_EQ(read("Main", "Path", 6), "C:\\Fw");
    EXPECT_EQ(GetPrivateProfileIntA("Other", "x", 7, file.c_str()), 1u);
    EXPECT_EQ(read("Main", nullptr), std::string("Path\0Pad\0", 9));
    EXPECT_EQ(read(nullptr, nullptr), std::string("Main\0Other\0", 11));
    EXPECT_FALSE(WritePrivateProfileStringA("Main", "Bad", "two\nlines", file.c_str()));

    ASSERT_TRUE(WritePrivateProfileStringA("Main", "Pad", nullptr, file.c_str()));
    ASSERT_TRUE(WritePrivateProfileEdits({{"Other", std::nullopt, std::nullopt}}, file.c_str()));
    EXPECT_EQ(read("Main", "Pad"), "DEF");
    EXPECT_EQ(read("Other", "x"), "DEF");
    EXPECT_EQ(read("Main", "Path"), "C:\\Fw\\\xC3\xA9.syx");
}

TEST_F(WindowsProfileTest, AFolderInPlaceOfTheFileIsUnreadableAndNeverWritten) {
    file = (dir / "Folder.INI").string();
    fs::create_directories(file);
    EXPECT_TRUE(profileUnreadable(file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("Main", "k", "v", file.c_str()));
    EXPECT_EQ(read("Main", "k"), "DEF");
}

}  // namespace
