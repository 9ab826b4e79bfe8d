// What the main window reads from and writes to its settings file at start,
// at close and when the user changes the wizard flag.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <fstream>

#include "app/settings.h"
#include "firmware/syx_generator.h"
#include "platform/dialogs.h"
#include "tests/support/form_fixture.h"

namespace {

class SettingsSequenceTest : public FormFixture {
protected:
    std::string value(const char* section, const char* key) {
        return SettingsFile(iniPath).readString(section, key, "<none>");
    }
    std::string writeValidFirmware(const std::string& name) {
        const std::string path = tempFile(name);
        firmware::SingleImageParams s;
        s.totalSize = 300;
        const auto img = firmware::makeSingleImage(s);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.data()),
                                                    static_cast<std::streamsize>(img.size()));
        return path;
    }
};

// Makes every file write in this process fail once past a few bytes, as a
// full disk would, for as long as it lives.
class FullDisk {
public:
    FullDisk() {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lim = old_;
        lim.rlim_cur = 8;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FullDisk() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit old_{};
    sighandler_t oldHandler_;
};

TEST_F(SettingsSequenceTest, FirstStartWithoutASettingsFile) {
    start();
    EXPECT_EQ(form->Top(), 100);
    EXPECT_EQ(form->Left(), 100);
    EXPECT_TRUE(form->StartupHelp1->isChecked());
    EXPECT_TRUE(form->Timer2.Enabled());
    EXPECT_EQ(form->uploadMode, 0);
    EXPECT_TRUE(dialogs.shown().empty());
    stop();
    EXPECT_EQ(iniText(),
              "[INI_VERSION]\r\nVERSION=1\r\n[MIDI_SELECTION]\r\nMIDI_OutPort=-1\r\nMIDI_InPort=-1\r\n"
              "[START_POS]\r\nX=100\r\nY=100\r\n");
}

TEST_F(SettingsSequenceTest, XHoldsTheTopEdgeAndYTheLeftEdge) {
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[START_POS]\r\nX=40\r\nY=300\r\n[FIRST_TIME]\r\nFT=0\r\n");
    start();
    EXPECT_EQ(form->Top(), 40);
    EXPECT_EQ(form->Left(), 300);
    form->setPosition(70, 210);
    stop();
    EXPECT_EQ(value("START_POS", "X"), "70");
    EXPECT_EQ(value("START_POS", "Y"), "210");
}

TEST_F(SettingsSequenceTest, OlderLayoutLosesThreeSectionsButKeepsTheWizardFlag) {
    const std::string fw = writeValidFirmware("good.syx");
    for (const char* version : {"", "VERSION=2\r\n", "VERSION=abc\r\n"}) {
        writeIni(std::string("[INI_VERSION]\r\n") + version + "[FIRST_TIME]\r\nFT=0\r\n[START_POS]\r\nX=5\r\nY=6\r\n" +
                 "[FIRMWARE]\r\nFILE=" + fw + "\r\n[MIDI_SELECTION]\r\nMIDI_OutPort=3\r\n");
        start();
        EXPECT_EQ(form->Top(), 100) << version;
        EXPECT_EQ(form->Left(), 100);
        EXPECT_EQ(form->uploadMode, 0) << "the remembered file is forgotten";
        EXPECT_FALSE(form->StartupHelp1->isChecked()) << "FT is honoured";
        EXPECT_FALSE(form->Timer2.Enabled());
        const std::string text = iniText();
        EXPECT_EQ(text.find("[FIRMWARE]"), std::string::npos);
        EXPECT_EQ(text.find("[START_POS]"), std::string::npos);
        EXPECT_EQ(text.find("[MIDI_SELECTION]"), std::string::npos);
        EXPECT_NE(text.find("[FIRST_TIME]"), std::string::npos);
        stop();
    }
}

TEST_F(SettingsSequenceTest, OddValuesReadAsTheirDefaults) {
    writeIni("[INI_VERSION]\r\nversion=0x1\r\n[START_POS]\r\nX=abc\r\nY=0x20\r\n[first_time]\r\nFT=2\r\n[FIRMWARE]\r\nFILE=no file\r\n");
    start();
    EXPECT_EQ(form->Top(), 100);
    EXPECT_EQ(form->Left(), 32);
    EXPECT_TRUE(form->StartupHelp1->isChecked());
    EXPECT_EQ(form->uploadMode, 0);
    EXPECT_TRUE(dialogs.shown().empty()) << "\"no file\" loads nothing";
}

TEST_F(SettingsSequenceTest, APositionNoScreenShowsOpensAtTheDefault) {
    for (const char* pos : {"X=-5000\r\nY=90000", "X=2147483600\r\nY=2147483600", "X=-2147483648\r\nY=2147483647"}) {
        writeIni(std::string("[INI_VERSION]\r\nVERSION=1\r\n[START_POS]\r\n") + pos + "\r\n");
        start();
        EXPECT_EQ(form->Top(), 100) << pos;
        EXPECT_EQ(form->Left(), 100) << pos;
        stop();
    }
}

TEST_F(SettingsSequenceTest, RememberedFileIsReloadedAndKeptOrForgotten) {
    const std::string fw = writeValidFirmware("good.syx");
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRMWARE]\r\nFILE=" + fw + "\r\n");
    start();
    EXPECT_EQ(form->uploadMode, 1);
    EXPECT_EQ(form->StatusBar1->panelText(2), "File Name: good.syx");
    stop();
    EXPECT_EQ(value("FIRMWARE", "FILE"), fw);

    // A file that went bad since is reported during construction and forgotten at close.
    std::ofstream(fw, std::ios::trunc) << "garbage";
    start();
    EXPECT_EQ(form->uploadMode, 0);
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Not a valid KOLVA code file");
    stop();
    EXPECT_EQ(value("FIRMWARE", "FILE"), "<none>");
}

TEST_F(SettingsSequenceTest, AFailedLoadForgetsAnEarlierGoodFile) {
    const std::string good = writeValidFirmware("good.syx");
    start();
    dialogs.chooseFile(good);
    form->Firmware1Click();
    EXPECT_EQ(form->uploadMode, 1);
    dialogs.chooseFile(tempFile("missing.syx"));
    form->Firmware1Click();
    EXPECT_EQ(form->uploadMode, 0);
    stop();
    EXPECT_EQ(value("FIRMWARE", "FILE"), "<none>");
}

TEST_F(SettingsSequenceTest, StartupHelpTogglesTheFlagAtOnce) {
    start();
    form->StartupHelp1->trigger();
    EXPECT_FALSE(form->StartupHelp1->isChecked());
    EXPECT_EQ(value("FIRST_TIME", "FT"), "0");
    EXPECT_FALSE(form3->isVisible());
    form->StartupHelp1->trigger();
    EXPECT_TRUE(form->StartupHelp1->isChecked());
    EXPECT_EQ(value("FIRST_TIME", "FT"), "1");
    EXPECT_TRUE(form3->isVisible()) << "setting the flag shows the wizard at once";
    stop();
    form3.reset();
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
    start();
    EXPECT_FALSE(form->StartupHelp1->isChecked());
    clock.runFor(1000);
    EXPECT_FALSE(form3->isVisible());
}

TEST_F(SettingsSequenceTest, StartupHelpWriteFailureKeepsTheMarkAndShowsTheError) {
    start();
    {
        FullDisk full;
        form->StartupHelp1->trigger();
    }
    EXPECT_TRUE(form->StartupHelp1->isChecked());
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Unable to write to " + iniPath);
    EXPECT_EQ(dialogs.shown()[0].caption, "KolvaUpdater");
    EXPECT_FALSE(form3->isVisible());
}

TEST_F(SettingsSequenceTest, SaveFailureAtCloseIsReportedAndLeavesTheOldFileWhole) {
    const std::string before = "[INI_VERSION]\r\nVERSION=1\r\n[START_POS]\r\nX=120\r\nY=130\r\n[FIRST_TIME]\r\nFT=0\r\n";
    writeIni(before);
    start();
    form->setPosition(200, 210);
    {
        FullDisk full;
        stop();
    }
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Could not save program settings.");
    EXPECT_EQ(dialogs.shown()[0].caption, "ini");
    EXPECT_EQ(dialogs.shown()[0].buttons, platform::Buttons::Ok);
    EXPECT_EQ(iniText(), before) << "a failed write must not truncate the file";

    // Ended by a signal, the program waits for nobody: the failure goes to
    // standard error.
    start();
    dialogs.clear();
    platform::endDialogs();
    // Standard error into a pipe: the file-size limit that stands for the
    // full disk does not apply to it.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int saved = dup(2);
    dup2(ends[1], 2);
    {
        FullDisk full;
        stop();
    }
    dup2(saved, 2);
    close(saved);
    close(ends[1]);
    char buf[512];
    const ssize_t n = read(ends[0], buf, sizeof buf);
    close(ends[0]);
    const std::string said(buf, size_t(std::max<ssize_t>(n, 0)));
    platform::endDialogs(false);
    EXPECT_TRUE(dialogs.shown().empty());
    EXPECT_NE(said.find("ini: Could not save program settings."), std::string::npos) << said;
    EXPECT_EQ(iniText(), before);
}

TEST_F(SettingsSequenceTest, AFileThatCannotBeReadIsKeptAndReportedAtClose) {
    // A FIFO: not even opened for good, neither erased at start nor replaced at close.
    ASSERT_EQ(::mkfifo(iniPath.c_str(), 0644), 0);
    start();
    EXPECT_TRUE(dialogs.shown().empty());
    stop();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Could not save program settings.");
    EXPECT_TRUE(std::filesystem::is_fifo(iniPath));
}

TEST_F(SettingsSequenceTest, RememberedPathsComeBackWholeOrAreNotStored) {
    const std::string spaced = writeValidFirmware(" amp.syx ");
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
    start();
    dialogs.chooseFile(spaced);
    form->Firmware1Click();
    stop();
    start();
    EXPECT_EQ(form->uploadMode, 1);
    EXPECT_TRUE(dialogs.shown().empty());

    dialogs.chooseFile(writeValidFirmware("a\n[FIRST_TIME]\nFT=1\n.syx"));
    form->Firmware1Click();
    ASSERT_EQ(form->uploadMode, 1);
    stop();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Could not save program settings.");
    EXPECT_EQ(value("FIRMWARE", "FILE"), "<none>") << "neither the new path nor the old one";
    EXPECT_EQ(value("FIRST_TIME", "FT"), "0");
    EXPECT_EQ(iniText().find("FT=1"), std::string::npos);
}

TEST_F(SettingsSequenceTest, ARealMessageBoxShowsItsTextAsPlainText) {
    platform::QtDialogs real;
    QString format;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        format = box->textFormat() == Qt::PlainText ? box->text() : "rich";
        box->accept();
    });
    real.messageBox("Unable to write to /tmp/<b>x</b>.INI", "ini", platform::Buttons::Ok);
    EXPECT_EQ(format, "Unable to write to /tmp/<b>x</b>.INI");
}

TEST_F(SettingsSequenceTest, SettingsInAFolderThatIsGoneAreReportedAtClose) {
    iniPath = tempFile("no-such-folder/kolva-updater.INI");
    start();
    stop();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Could not save program settings.");
}

}  // namespace

#include <QApplication>

#include "app/kolva_app.h"

namespace {

TEST_F(SettingsSequenceTest, AnEraseThatFailsAtStartEndsTheProgramWithTheError) {
    writeIni("[INI_VERSION]\r\nVERSION=0\r\n[FIRMWARE]\r\nFILE=x\r\n");
    int rc;
    {
        FullDisk full;
        rc = app::runApplication(*static_cast<QApplication*>(QCoreApplication::instance()),
                                 (dir / "kolva-updater").string(), tempFile("user-config"));
    }
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Unable to write to " + iniPath);
    EXPECT_EQ(dialogs.shown()[0].caption, "KolvaUpdater");
    EXPECT_EQ(Form1, nullptr);
}

}  // namespace
