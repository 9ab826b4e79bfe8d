// The main window's firmware loader: File > Open Firmware and ReadFile.
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/unit1.h"
#include "firmware/firmware_header.h"
#include "firmware/internal_image.h"
#include "platform/dialogs.h"
#include "platform/read_file.h"

namespace {

using platform::ReadResult;
using platform::readWholeFile;

constexpr size_t kMaxPathCharacters = 255;

// Characters of UTF-8 text: every byte that does not continue a sequence.
size_t characterCount(const char* s, size_t bytes) {
    size_t n = 0;
    for (size_t i = 0; i < bytes; ++i) n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
    return n;
}


}  // namespace

int TForm1::ReadFile(const char* path) {
    // The running transfer reads the image as it stands: nothing replaces it
    // under that run, whichever way the load was asked for.
    if (runActive_) {
        platform::messageBox(kLoadDuringRun, "File Error", platform::Buttons::Ok);
        return uploadMode;
    }
    bool readable = true;
    if (useInternalImage) {
        imageCursor = firmware::kInternalImage;
        imageSize = firmware::kInternalImageSize;
        imageAvailable = imageSize;
    } else {
        imageCursor = imageStore.get();
        imageSize = 0;
        imageAvailable = 0;
        const size_t len = path ? std::strlen(path) : 0;
        // A path beyond 255 characters is no file we can name.
        if (!path || len == 0 || len >= sizeof firmwarePath || characterCount(path, len) > kMaxPathCharacters) {
            readable = false;
        } else {
            std::memcpy(firmwarePath, path, len + 1);
            int32_t got = 0;
            switch (readWholeFile(path, imageStore.get(), kImageStoreSize, got)) {
                case ReadResult::Ok:
                    imageSize = imageAvailable = got;
                    break;
                case ReadResult::IoError:
                    platform::messageBox("Can't perform one of the following file operations: Open, Seek, Read, Close.",
                                         "File Error", platform::Buttons::OkCancel);
                    uploadMode = 0;
                    readable = false;
                    break;
                case ReadResult::TooLarge:
                    readable = false;
                    break;
            }
        }
    }

    imageEnd = imageCursor + imageAvailable;
    const firmware::HeaderInfo h =
        readable ? firmware::parseImage(imageCursor, static_cast<size_t>(imageAvailable)) : firmware::HeaderInfo{};
    if (h.mode == 0) {
        platform::messageBox("Not a valid KOLVA code file", "File Error", platform::Buttons::Ok);
        for (int i = 1; i <= 4; ++i) StatusBar1->setPanelText(i, " ");
        return 0;
    }

    fileVersion = h.fileVersion;
    std::memset(fileVersionText, 0, sizeof fileVersionText);
    std::memcpy(fileVersionText, h.versionText.data(), std::min(h.versionText.size(), sizeof fileVersionText - 1));
    if (h.mode == 2) {
        expectedVersion = h.expectedVersion;
        packetCount = h.packetCount;
        packetPayloadSize = h.packetPayloadSize;
    }

    if (useInternalImage) {
        StatusBar1->setPanelText(2, "Internal");
        StatusBar1->setPanelText(1, "Version 1.39");
    } else {
        const std::string name = std::filesystem::path(firmwarePath).filename().string();
        StatusBar1->setPanelText(2, "File Name: " + QString::fromStdString(name));
        StatusBar1->setPanelText(1, "Version " + QString::fromLatin1(fileVersionText));
    }
    StatusBar1->setPanelText(3, "File Size: " + QString::number(h.displaySize) + " Bytes");
    StatusBar1->setPanelText(4, h.encrypted ? "Encrypted" : " ");
    return h.mode;
}

void TForm1::Firmware1Click() {
    platform::OpenFileRequest req;
    req.filter = "Syx files (*.syx)|*.syx";
    if (firmwarePath[0]) req.initialDir = std::filesystem::path(firmwarePath).parent_path().string();
    const auto chosen = platform::openFile(req);
    if (!chosen) return;
    const std::string copy = *chosen;
    uploadMode = ReadFile(copy.c_str());
}
