// Arbitrary settings-file text through the profile parser and editor: no
// crash, an edit is always read back, and what the format can hold comes
// back exactly as written.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    using namespace platform::profile;
    bool found = false;
    lookup(text, "FIRMWARE", "FILE", &found);
    sectionNames(text);
    keyNames(text, "START_POS");
    const std::string edited = setValue(text, "START_POS", "X", "123");
    if (lookup(edited, "start_pos", "x", &found) != "123" || !found) std::abort();
    const std::string removed = deleteKey(edited, "START_POS", "X");
    if (lookup(removed, "START_POS", "X", &found), found) std::abort();
    const std::string erased = eraseSection(removed, "FIRMWARE");
    if (lookup(erased, "FIRMWARE", "FILE", &found), found) std::abort();

    // The first line of the input as a value (and as a name): stored exactly
    // or refused.
    std::string value = text.substr(0, text.find('\n') == std::string::npos ? 64 : text.find('\n') + 1);
    value = value.substr(0, value.find('\0'));
    if (storable("FIRMWARE", "FILE", value.c_str())) {
        if (lookup(setValue(text, "FIRMWARE", "FILE", value), "FIRMWARE", "FILE", &found) != value || !found)
            std::abort();
    }
    if (storable(value.c_str(), value.c_str(), "1")) {
        if (lookup(setValue(text, value, value, "1"), value, value, &found) != "1" || !found) std::abort();
    }
    return 0;
}
