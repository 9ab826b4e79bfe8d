// The private-profile functions, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kolva-profile-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        file = (dir / "test.INI").string();
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::string read(const char* s, const char* k, const char* def = "DEF", uint32_t size = 2048) {
        std::string buf(size ? size : 1, '\x7f');
        GetPrivateProfileStringA(s, k, def, buf.data(), size, file.c_str());
        return size ? std::string(buf.c_str()) : std::string();
    }
    void put(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string content() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir;
    std::string file;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyReadsTheDefault) {
    EXPECT_EQ(read("A", "k"), "DEF");
    put("[A]\r\nk=1\r\n");
    EXPECT_EQ(read("B", "k"), "DEF");
    EXPECT_EQ(read("A", "j"), "DEF");
    EXPECT_EQ(read("A", "k"), "1");
}

TEST_F(ProfileTest, FirstWriteCreatesTheFileAndLaterWritesReplaceValues) {
    ASSERT_TRUE(WritePrivateProfileStringA("START_POS", "X", "100", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("START_POS", "Y", "200", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("START_POS", "X", "5", file.c_str()));
    EXPECT_EQ(content(), "[START_POS]\r\nX=5\r\nY=200\r\n");
    // No temporary file is left beside it.
    int files = 0;
    for (auto& e : fs::directory_iterator(dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST_F(ProfileTest, SectionsAndKeysMatchWithoutRegardToCase) {
    put("[First_Time]\nft = 0 \n");
    EXPECT_EQ(read("FIRST_TIME", "FT"), "0");
    ASSERT_TRUE(WritePrivateProfileStringA("first_time", "Ft", "1", file.c_str()));
    // The existing spelling of the section and key is kept.
    EXPECT_EQ(content(), "[First_Time]\r\nft=1\r\n");
}

TEST_F(ProfileTest, EraseSectionAndDeleteKeyLeaveTheRestAlone) {
    put("; comment\r\n[INI_VERSION]\r\nVERSION=1\r\n[FIRMWARE]\r\nFILE=/a/b.syx\r\nOTHER=x\r\n[FIRST_TIME]\r\nFT=0\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("firmware", "file", nullptr, file.c_str()));
    EXPECT_EQ(read("FIRMWARE", "FILE"), "DEF");
    EXPECT_EQ(read("FIRMWARE", "OTHER"), "x");
    ASSERT_TRUE(WritePrivateProfileStringA("Firmware", nullptr, nullptr, file.c_str()));
    EXPECT_EQ(content(), "; comment\r\n[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
    // A hand-edited file with the section or key twice loses every copy.
    put("[FIRMWARE]\r\nFILE=a\r\nFILE=b\r\n[X]\r\n[firmware]\r\nFILE=c\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("FIRMWARE", "FILE", nullptr, file.c_str()));
    EXPECT_EQ(read("FIRMWARE", "FILE"), "DEF");
    ASSERT_TRUE(WritePrivateProfileStringA("FIRMWARE", nullptr, nullptr, file.c_str()));
    EXPECT_EQ(content(), "[X]\r\n");
    // Erasing what is not there changes nothing and is no error.
    EXPECT_TRUE(WritePrivateProfileStringA("NOPE", nullptr, nullptr, file.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("NOPE", "k", nullptr, (dir / "absent.INI").c_str()));
    EXPECT_FALSE(fs::exists(dir / "absent.INI"));
}

TEST_F(ProfileTest, ReadsAreCutToTheBufferAndQuotesStripped) {
    const std::string longValue(3000, 'p');
    put("[FIRMWARE]\r\nFILE=" + longValue + "\r\nQ=\"quoted value\"\r\n");
    EXPECT_EQ(read("FIRMWARE", "FILE").size(), 2047u);
    EXPECT_EQ(read("FIRMWARE", "FILE", "", 5), "pppp");
    EXPECT_EQ(read("FIRMWARE", "Q"), "quoted value");
    char one[1] = {'x'};
    EXPECT_EQ(GetPrivateProfileStringA("FIRMWARE", "FILE", "", one, 1, file.c_str()), 0u);
    EXPECT_EQ(one[0], 0);
}

TEST_F(ProfileTest, NullKeyListsKeysAndNullSectionListsSections) {
    put("[A]\r\nx=1\r\ny=2\r\n[B]\r\n");
    char buf[64];
    const uint32_t n = GetPrivateProfileStringA("a", nullptr, "", buf, sizeof buf, file.c_str());
    EXPECT_EQ(std::string(buf, n), std::string("x\0y\0", 4));
    const uint32_t m = GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, file.c_str());
    EXPECT_EQ(std::string(buf, m), std::string("A\0B\0", 4));
}

TEST_F(ProfileTest, IntegerReadingTakesHexAfter0x) {
    put("[S]\r\nh=0x1F\r\nd=-12\r\n");
    EXPECT_EQ(GetPrivateProfileIntA("S", "h", 7, file.c_str()), 31u);
    EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("S", "d", 7, file.c_str())), -12);
    EXPECT_EQ(GetPrivateProfileIntA("S", "missing", 7, file.c_str()), 7u);
}

// In a folder the user cannot write, no temporary file can be made beside
// the file: a file the user may write is written in place (before: every
// write refused), one that is not there cannot be made.
TEST_F(ProfileTest, AWritableFileInAFolderTheUserCannotWriteIsWrittenInPlace) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    put("[A]\r\nk=1\r\nj=1\r\n");
    const auto mode = fs::status(file).permissions();
    struct stat before {};
    ::stat(file.c_str(), &before);
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_TRUE(WritePrivateProfileStringA("A", "k", "22", file.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("A", "j", nullptr, file.c_str()));
    EXPECT_EQ(content(), "[A]\r\nk=22\r\n");
    struct stat after {};
    ::stat(file.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(fs::status(file).permissions(), mode);
    const std::string other = (dir / "other.INI").string();
    EXPECT_FALSE(WritePrivateProfileStringA("A", "k", "2", other.c_str()));
    EXPECT_FALSE(fs::exists(other));
}

// With no room to grow (a file size limit stands in for a full disk), the
// write fails and leaves the file whole, the temporary file gone; a write
// that needs no more room goes through.
TEST_F(ProfileTest, NoRoomForTheNewContentLeavesTheOldWhole) {
    put("[A]\r\nk=1\r\nj=1\r\n");
    const std::string old = content();
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{rlim_t(old.size()), rlim_t(old.size())};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        const bool grew = WritePrivateProfileStringA("A", "k", "12345", file.c_str());
        const bool shrank = WritePrivateProfileStringA("A", "j", nullptr, file.c_str());
        ::_exit(!grew && shrank ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(content(), "[A]\r\nk=1\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "a temporary file was left";
}

// Two writers at once (another copy of the program) each change their own
// key and a pair that belongs together: neither undoes the other's key, and
// the pair is always one writer's.
TEST_F(ProfileTest, WritersAtOnceNeverUndoOrSplitEachOther) {
    put("[P]\r\n");
    auto writer = [&](const std::string& own) {
        bool ok = true;
        for (int i = 0; i < 60 && ok; ++i) {
            const std::string v = own + std::to_string(i);
            ok = WritePrivateProfileEdits({{"P", "X", v}, {"P", "Y", v}, {"P", own, v}}, file.c_str());
        }
        return ok;
    };
    const pid_t child = ::fork();
    if (child == 0) ::_exit(writer("b") ? 0 : 1);
    EXPECT_TRUE(writer("a"));
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read("P", "a"), "a59");
    EXPECT_EQ(read("P", "b"), "b59");
    EXPECT_EQ(read("P", "X"), read("P", "Y"));
}

// Saved as "Unicode" by an editor: read as text, written back in UTF-16
// (before: all defaults, then ASCII appended to the UTF-16 text).
TEST_F(ProfileTest, AUtf16FileIsReadAndWrittenInItsEncoding) {
    const std::string text = "[A]\r\nk=1\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) utf16 += std::string{c, '\0'};
    put(utf16);
    EXPECT_EQ(read("A", "k"), "1");
    ASSERT_TRUE(WritePrivateProfileStringA("B", "p", "caf\xC3\xA9", file.c_str()));
    const std::string after = content();
    ASSERT_EQ(after.substr(0, 2), "\xFF\xFE");
    EXPECT_NE(after.find(std::string("\xE9\0", 2)), std::string::npos) << "U+00E9 as UTF-16";
    EXPECT_EQ(read("B", "p"), "caf\xC3\xA9");
    EXPECT_EQ(read("A", "k"), "1");
    put("\xEF\xBB\xBF" + text);
    EXPECT_EQ(read("A", "k"), "1") << "UTF-8 with a mark";
}

// What an interrupted save leaves beside the file goes at the next start;
// while another writer holds the file, a fresh one may be its save in
// progress and stays.
TEST_F(ProfileTest, LeftoversOfAnInterruptedSaveAreRemoved) {
    put("[A]\r\n");
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
    for (const bool held : {true, false}) {
        SCOPED_TRACE(held ? "file held" : "file free");
        for (const char* name : {"test.INI.a1B2c3", "test.INI.fresh1", "test.INI.bak", "other.INI.a1B2c3"})
            std::ofstream(dir / name) << "x";
        for (const char* name : {"test.INI.a1B2c3", "test.INI.bak", "other.INI.a1B2c3"})
            fs::last_write_time(dir / name, old);
        const int writer = ::open(file.c_str(), O_RDONLY);
        if (held) ::flock(writer, LOCK_EX);
        removeProfileLeftovers(file.c_str());
        ::close(writer);
        EXPECT_FALSE(fs::exists(dir / "test.INI.a1B2c3"));
        EXPECT_EQ(fs::exists(dir / "test.INI.fresh1"), held);
        for (const char* name : {"test.INI.bak", "other.INI.a1B2c3"}) EXPECT_TRUE(fs::exists(dir / name)) << name;
    }
}

TEST_F(ProfileTest, AFileThatCannotBeReadIsNeverReplaced) {
    const std::string big = "[A]\r\nk=1\r\n" + std::string((1 << 20) - 10, ';');
    put(big);
    EXPECT_EQ(read("A", "k"), "1") << "up to 1 MiB is read";
    put(big + std::string(11, ';'));
    EXPECT_EQ(read("A", "k"), "DEF");
    EXPECT_FALSE(WritePrivateProfileStringA("A", "k", "2", file.c_str()));
    EXPECT_EQ(content().size(), big.size() + 11);

    // Read-only for everyone: left as it is, even by root.
    put("[A]\r\nk=1\r\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(WritePrivateProfileStringA("A", "j", "2", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("A", "k", "1", file.c_str())) << "even when nothing changes";
    EXPECT_EQ(content(), "[A]\r\nk=1\r\n");

    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    fs::permissions(file, fs::perms::none);
    EXPECT_FALSE(WritePrivateProfileStringA("A", "j", "2", file.c_str()));
    fs::permissions(file, fs::perms::owner_read);
    EXPECT_EQ(content(), "[A]\r\nk=1\r\n");
}

TEST_F(ProfileTest, ValuesReadBackAsWrittenOrAreNotStored) {
    put("[S]\r\nkeep=1\r\n");
    for (const char* v : {" lead", "trail ", "\ttab\t", "\"q\"", "'q'", "\"", "a \"b\" c", ""}) {
        ASSERT_TRUE(WritePrivateProfileStringA("S", "v", v, file.c_str())) << v;
        EXPECT_EQ(read("S", "v"), v);
    }
    const std::string before = content();
    EXPECT_FALSE(WritePrivateProfileStringA("S", "v", "a\nb", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "v", "a\rb", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S\n[FIRST_TIME]", "FT", "1", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k=x", "1", file.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "[T]", "1", file.c_str()));
    EXPECT_EQ(content(), before);
}

TEST_F(ProfileTest, AChainOfLinksIsFollowedToTheRealFile) {
    fs::create_directories(dir / "real");
    std::ofstream(dir / "real" / "k.INI") << "[A]\r\nk=1\r\n";
    fs::create_symlink("real/k.INI", dir / "middle.INI");
    fs::create_symlink("middle.INI", file);
    ASSERT_TRUE(WritePrivateProfileStringA("A", "k", "2", file.c_str()));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_TRUE(fs::is_symlink(dir / "middle.INI"));
    EXPECT_EQ(read("A", "k"), "2");
    // A hard link stays one file: the write goes in place.
    fs::create_hard_link(dir / "real" / "k.INI", dir / "hard.INI");
    ASSERT_TRUE(WritePrivateProfileStringA("A", "k", "3", file.c_str()));
    EXPECT_TRUE(fs::equivalent(dir / "real" / "k.INI", dir / "hard.INI"));
    EXPECT_EQ(fs::hard_link_count(dir / "hard.INI"), 2u);
}

TEST_F(ProfileTest, AWriteIntoAMissingFolderFails) {
    const std::string nowhere = (dir / "no" / "such" / "x.INI").string();
    EXPECT_FALSE(WritePrivateProfileStringA("A", "k", "1", nowhere.c_str()));
}

}  // namespace
