#pragma once
// Reading a whole file of bounded size (a firmware image), on the system's
// own file functions (platform/posix, platform/win).

#include <cstddef>
#include <cstdint>

namespace platform {

enum class ReadResult { Ok, IoError, TooLarge };

// Reads the whole file at path (UTF-8) into store; at most capacity bytes are
// ever written. Anything but a regular file is an IoError.
ReadResult readWholeFile(const char* path, uint8_t* store, size_t capacity, int32_t& bytesRead);

}  // namespace platform
