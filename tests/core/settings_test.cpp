// The settings file's value encodings, error and location rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "app/settings.h"

namespace fs = std::filesystem;

namespace {

TEST(SettingsValues, IntegerEncodings) {
    EXPECT_EQ(parseSettingsInteger("100", 7), 100);
    EXPECT_EQ(parseSettingsInteger("-1", 7), -1);
    EXPECT_EQ(parseSettingsInteger("0x1F", 7), 31);
    EXPECT_EQ(parseSettingsInteger("0XfF", 7), 255);
    EXPECT_EQ(parseSettingsInteger("0xFFFFFFFF", 7), -1);
    for (const char* bad : {"", "abc", "12abc", "0x", "0xG", "1.5", "99999999999", "0x100000000", "0x-1"})
        EXPECT_EQ(parseSettingsInteger(bad, 7), 7) << bad;
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kolva-settings-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = (dir / "kolva.INI").string();
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    fs::path dir;
    std::string path;
};

TEST_F(SettingsFileTest, BooleansAndTextRoundTrip) {
    SettingsFile ini(path);
    EXPECT_TRUE(ini.readBool("FIRST_TIME", "FT", true));
    ini.writeBool("FIRST_TIME", "FT", false);
    EXPECT_FALSE(ini.readBool("FIRST_TIME", "FT", true));
    ini.writeString("FIRST_TIME", "FT", "2");
    EXPECT_TRUE(ini.readBool("FIRST_TIME", "FT", false));
    ini.writeString("FIRMWARE", "FILE", "/home/user/My Files/amp.syx");
    EXPECT_EQ(ini.readString("FIRMWARE", "FILE", "no file"), "/home/user/My Files/amp.syx");
    ini.deleteKey("FIRMWARE", "FILE");
    EXPECT_EQ(ini.readString("FIRMWARE", "FILE", "no file"), "no file");
}

TEST_F(SettingsFileTest, TextLongerThanAReadTakesIsNotStored) {
    SettingsFile ini(path);
    ini.writeString("FIRMWARE", "FILE", "/home/user/old.syx");
    EXPECT_THROW(ini.writeString("FIRMWARE", "FILE", std::string(2048, 'p')), SettingsError);
    EXPECT_EQ(ini.readString("FIRMWARE", "FILE", "no file"), "no file") << "nor is the old value kept";
}

TEST(SettingsPosition, TitleBarCheckTakesAnyIntWithoutOverflow) {
    const std::vector<ScreenArea> one = {{0, 0, 1920, 1080}};
    EXPECT_TRUE(titleBarOnScreen(-20, -100, one)) << "partly off the top-left edge";
    EXPECT_FALSE(titleBarOnScreen(1080, 0, one));
    for (int top : {INT_MIN, INT_MAX})
        for (int left : {INT_MIN, INT_MAX, 0}) EXPECT_FALSE(titleBarOnScreen(top, left, one)) << top << "," << left;
    EXPECT_TRUE(titleBarOnScreen(0, INT_MAX - 10, {{INT_MAX - 1000, 0, 1000, 1000}}));
    EXPECT_FALSE(titleBarOnScreen(100, 100, {}));
}

TEST_F(SettingsFileTest, RefusedWritesThrowWithThePath) {
    SettingsFile ini((dir / "missing-folder" / "kolva.INI").string());
    try {
        ini.writeInteger("START_POS", "X", 1);
        FAIL() << "no error";
    } catch (const SettingsError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + ini.path());
    }
    EXPECT_NO_THROW(ini.deleteKey("FIRMWARE", "FILE"));
}

TEST_F(SettingsFileTest, LocationBesideTheProgramOrInTheUserFolder) {
    EXPECT_EQ(settingsPathBeside("/opt/kolva/kolva-updater"), "/opt/kolva/kolva-updater.INI");
    EXPECT_EQ(settingsPathBeside("/opt/kolva/kolvaUpdater.exe"), "/opt/kolva/kolvaUpdater.INI");

    const std::string exe = (dir / "kolva-updater").string();
    const std::string user = (dir / "config").string();
    // A writable program folder keeps the settings beside the program.
    EXPECT_EQ(chooseSettingsPath(exe, user), exe + ".INI");
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    const std::string ro = chooseSettingsPath(exe, (fs::temp_directory_path() / ("kolva-cfg-" + std::to_string(::getpid()))).string());
    EXPECT_EQ(fs::path(ro).filename(), "kolva-updater.INI");
    EXPECT_NE(fs::path(ro).parent_path(), dir);
    fs::remove_all(fs::path(ro).parent_path());
}

TEST_F(SettingsFileTest, AnInstalledProgramKeepsItsSettingsInTheUserFolderWhoeverRunsIt) {
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "share" / "kolva-updater");
    const std::string exe = (dir / "bin" / "kolva-updater").string();
    std::ofstream(exe + ".INI") << "[INI_VERSION]\nVERSION=1\n";  // left by an earlier run as root
    const std::string user = (dir / "config").string();
    EXPECT_EQ(chooseSettingsPath(exe, user), user + "/kolva-updater.INI");
}

TEST_F(SettingsFileTest, AnExistingFileBesideTheProgramIsUsedEvenWhenReadOnly) {
    const std::string exe = (dir / "kolva-updater").string();
    std::ofstream(exe + ".INI") << "[INI_VERSION]\nVERSION=1\n";
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(chooseSettingsPath(exe, "/nonexistent/config"), exe + ".INI");
}

}  // namespace
