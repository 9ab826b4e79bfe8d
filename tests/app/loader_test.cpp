// The firmware loader on the main window: status panels, message boxes and
// the image state it leaves for the upload.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "firmware/firmware_header.h"
#include "firmware/internal_image.h"
#include "firmware/syx_generator.h"
#include "tests/support/form_fixture.h"

namespace fs = std::filesystem;

namespace {

class LoaderTest : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
        start();
    }
    std::string save(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = tempFile(name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    QStringList panels() const {
        QStringList p;
        for (int i = 1; i <= 4; ++i) p << form->StatusBar1->panelText(i);
        return p;
    }
    void expectInvalid(const std::string& what) {
        EXPECT_EQ(form->uploadMode, 0) << what;
        ASSERT_FALSE(dialogs.shown().empty()) << what;
        EXPECT_EQ(dialogs.shown().back().text, "Not a valid KOLVA code file") << what;
        EXPECT_EQ(dialogs.shown().back().caption, "File Error");
        EXPECT_EQ(dialogs.shown().back().buttons, platform::Buttons::Ok);
        EXPECT_EQ(panels(), QStringList({" ", " ", " ", " "})) << what;
    }
    int open(const std::string& path) {
        dialogs.chooseFile(path);
        form->Firmware1Click();
        return form->uploadMode;
    }
};

TEST_F(LoaderTest, OpenFirmwareUsesTheSyxFilterAndACancelChangesNothing) {
    firmware::PacketImageParams p;
    const std::string path = save("amp.syx", firmware::makePacketImage(p));
    ASSERT_EQ(open(path), 2);
    form->Firmware1Click();  // no scripted answer: cancelled
    ASSERT_EQ(dialogs.fileRequests().size(), 2u);
    EXPECT_EQ(dialogs.fileRequests()[0].filter, "Syx files (*.syx)|*.syx");
    EXPECT_EQ(dialogs.fileRequests()[1].initialDir, dir.string());
    EXPECT_EQ(form->uploadMode, 2);
    EXPECT_EQ(std::string(form->firmwarePath), path);
}

TEST_F(LoaderTest, PacketImageShowsVersionNameSizeAndMark) {
    firmware::PacketImageParams p;
    p.digits = {0, 2, 0, 6};
    p.packetCount = 10;
    p.payloadSize = 1024;
    p.encrypted = true;
    p.displaySize = 123456;
    const std::string path = save("kolva-02.06.syx", firmware::makePacketImage(p));
    EXPECT_EQ(open(path), 2);
    EXPECT_EQ(panels(), QStringList({"Version 02.06", "File Name: kolva-02.06.syx", "File Size: 123456 Bytes", "Encrypted"}));
    EXPECT_EQ(form->StatusBar1->panelText(0), "New Firmware");
    EXPECT_EQ(form->packetCount, 10);
    EXPECT_EQ(form->packetPayloadSize, 1024);
    EXPECT_EQ(form->fileVersion, 0x00020006u);
    EXPECT_EQ(form->expectedVersion, 0x00020006u);
    EXPECT_STREQ(form->fileVersionText, "02.06");
    EXPECT_EQ(form->imageCursor, form->imageStore.get());
    EXPECT_EQ(form->imageSize, 37 + 10 * 1061);
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(LoaderTest, SingleMessageImageShowsOldAndItsLength) {
    firmware::SingleImageParams s;
    s.totalSize = 24576;
    const std::string path = save("single.syx", firmware::makeSingleImage(s));
    form->packetCount = 77;
    EXPECT_EQ(open(path), 1);
    EXPECT_EQ(panels(), QStringList({"Version Old  ", "File Name: single.syx", "File Size: 24576 Bytes", " "}));
    EXPECT_EQ(form->fileVersion, 1u);
    EXPECT_EQ(form->packetCount, 77) << "a single-message image leaves the packet layout alone";
}

TEST_F(LoaderTest, EveryExampleFileLoads) {
    struct Example {
        const char* name;
        int mode;
        const char* version;
        const char* mark;
    };
    const Example examples[] = {
        {"kolva-02.06-packets.syx", 2, "Version 02.06", " "},
        {"kolva-01.59-packets.syx", 2, "Version 01.59", " "},
        {"kolva-02.10-encrypted.syx", 2, "Version 02.10", "Encrypted"},
        {"kolva-single-message.syx", 1, "Version Old  ", " "},
    };
    for (const auto& e : examples) {
        const std::string path = std::string(KOLVA_EXAMPLES_DIR) + "/" + e.name;
        EXPECT_EQ(open(path), e.mode) << e.name;
        EXPECT_EQ(form->StatusBar1->panelText(1), e.version) << e.name;
        EXPECT_EQ(form->StatusBar1->panelText(2), QString("File Name: ") + e.name);
        EXPECT_EQ(form->StatusBar1->panelText(4), e.mark) << e.name;
    }
    // A name too long for its panel is cut in the middle: its start and extension stay.
    TStatusBar* bar = form->StatusBar1;
    bar->setPanelText(2, "File Name: kolva-02.10-encrypted-for-the-studio-amp.syx");
    const QString shown = bar->shownText(2);
    EXPECT_LE(QFontMetrics(bar->shownFont(2)).horizontalAdvance(shown), bar->panelWidth(2) - 9);
    EXPECT_TRUE(shown.startsWith("File Name: kolva-02") && shown.endsWith("amp.syx")) << shown.toStdString();
    EXPECT_TRUE(dialogs.shown().empty());
    open(std::string(KOLVA_EXAMPLES_DIR) + "/not-kolva-firmware.syx");
    expectInvalid("foreign SysEx");
}

TEST_F(LoaderTest, MalformedFilesAreInvalid) {
    firmware::PacketImageParams p;
    p.packetCount = 4;
    p.payloadSize = 64;
    const auto good = firmware::makePacketImage(p);
    auto badByte2 = good;
    badByte2[2] = 0x7E;
    auto otherType = good;
    otherType[6] = 0x20;
    const std::vector<uint8_t> cutHeader(good.begin(), good.begin() + 36);
    const std::vector<uint8_t> cutPackets(good.begin(), good.end() - 1);
    firmware::SingleImageParams s;
    const auto single = firmware::makeSingleImage(s);
    const std::vector<uint8_t> shortSingle(single.begin(), single.begin() + 15);
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"empty", {}},           {"byte 2", badByte2},          {"type 20", otherType},
        {"header cut", cutHeader}, {"packets cut", cutPackets}, {"single cut", shortSingle},
    };
    for (const auto& [what, bytes] : cases) {
        ASSERT_EQ(open(save("good.syx", good)), 2);
        dialogs.clear();
        open(save(std::string(what) + ".syx", bytes));
        expectInvalid(what);
        EXPECT_EQ(dialogs.shown().size(), 1u) << what;
    }
}

TEST_F(LoaderTest, FileOperationFailureIsReportedThenTheFileIsInvalid) {
    for (const std::string& path : {tempFile("missing.syx"), dir.string()}) {
        dialogs.clear();
        open(path);
        ASSERT_EQ(dialogs.shown().size(), 2u) << path;
        EXPECT_EQ(dialogs.shown()[0].text, "Can't perform one of the following file operations: Open, Seek, Read, Close.");
        EXPECT_EQ(dialogs.shown()[0].caption, "File Error");
        EXPECT_EQ(dialogs.shown()[0].buttons, platform::Buttons::OkCancel);
        expectInvalid(path);
        EXPECT_EQ(std::string(form->firmwarePath), path) << "the attempted path is remembered";
    }
}

TEST_F(LoaderTest, OnlyRegularFilesAreReadAndAFifoDoesNotHang) {
    const std::string fifo = tempFile("pipe.syx");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    open(fifo);
    ASSERT_EQ(dialogs.shown().size(), 2u);
    EXPECT_EQ(dialogs.shown()[0].text, "Can't perform one of the following file operations: Open, Seek, Read, Close.");
    expectInvalid("a FIFO");
}

TEST_F(LoaderTest, FilesLargerThanTheImageStoreAreRefusedWithoutOverrun) {
    firmware::SingleImageParams s;
    s.totalSize = TForm1::kImageStoreSize;
    EXPECT_EQ(open(save("exactly.syx", firmware::makeSingleImage(s))), 1);
    EXPECT_EQ(form->StatusBar1->panelText(3), "File Size: 1048576 Bytes");
    s.totalSize = TForm1::kImageStoreSize + 1;
    open(save("too-big.syx", firmware::makeSingleImage(s)));
    expectInvalid("one byte too many");
    EXPECT_EQ(dialogs.shown().size(), 1u);
}

TEST_F(LoaderTest, PathsLongerThanTheFieldAreRefused) {
    firmware::SingleImageParams s;
    const std::string good = save("ok.syx", firmware::makeSingleImage(s));
    ASSERT_EQ(open(good), 1);
    std::string longPath = "/" + std::string(300, 'a') + ".syx";
    open(longPath);
    expectInvalid("300-character path");
    EXPECT_EQ(std::string(form->firmwarePath), good) << "the field is never overrun";

    // The limit counts characters: 255 two-byte letters fit, 256 do not.
    std::string cyrillic;
    for (int i = 0; i < 60; ++i) cyrillic += "\xD0\x96";
    fs::path folder = dir / cyrillic / cyrillic;
    fs::create_directories(folder);
    const size_t used = fs::path(dir).string().size() + 2 * 60 + 3 + 4;  // slashes and ".syx"
    std::string name;
    for (size_t i = used; i < 255; ++i) name += "\xD0\x96";
    const std::string fits = (folder / (name + ".syx")).string();
    std::filesystem::copy_file(good, fits);
    dialogs.clear();
    EXPECT_EQ(open(fits), 1) << fits.size() << " bytes";
    EXPECT_EQ(std::string(form->firmwarePath), fits);
    const std::string over = (folder / (name + "\xD0\x96.syx")).string();
    std::filesystem::copy_file(good, over);
    open(over);
    expectInvalid("256 characters");
}

TEST_F(LoaderTest, BuiltInImage) {
    ASSERT_EQ(firmware::kInternalImageSize, 52576);
    const uint8_t* img = firmware::kInternalImage;
    const uint8_t head[] = {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x01, 0x16};
    EXPECT_TRUE(std::equal(head, head + 7, img));
    EXPECT_EQ(img[15], 0);
    EXPECT_EQ(img[firmware::kInternalImageSize - 1], 0xF7);
    for (int i = 1; i < firmware::kInternalImageSize - 1; ++i) ASSERT_LT(img[i], 0x80) << i;

    firmware::SingleImageParams s;
    const std::string path = save("before.syx", firmware::makeSingleImage(s));
    ASSERT_EQ(open(path), 1);
    form->useInternalImage = true;
    EXPECT_EQ(open(tempFile("whatever.syx")), 1);
    EXPECT_EQ(panels(), QStringList({"Version 1.39", "Internal", "File Size: 52576 Bytes", " "}));
    EXPECT_EQ(form->imageCursor, firmware::kInternalImage);
    EXPECT_EQ(form->imageSize, 52576);
    EXPECT_EQ(std::string(form->firmwarePath), path) << "the path is kept while the built-in image is used";
    EXPECT_TRUE(dialogs.shown().empty());
}

}  // namespace
