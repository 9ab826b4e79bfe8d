// Arbitrary settings-file text through the profile parser and editor: no
// crash, and an edit is always read back.
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
    eraseSection(removed, "FIRMWARE");
    return 0;
}
