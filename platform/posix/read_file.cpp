#include "platform/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// Reads the whole file into store; at most capacity bytes are ever written.
ReadResult readWholeFile(const char* path, uint8_t* store, size_t capacity, int32_t& bytesRead) {
    bytesRead = 0;
    int fd;
    // Never waits: a FIFO or device is refused below, not opened for good.
    do fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return ReadResult::IoError;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::IoError;
    }
    if (static_cast<uint64_t>(st.st_size) > capacity) {
        ::close(fd);
        return ReadResult::TooLarge;
    }
    size_t total = 0;
    bool failed = false;
    // The file may grow after fstat; stop at the store's end, and treat a
    // file that still has bytes there as too large.
    while (total < capacity) {
        const ssize_t n = ::read(fd, store + total, capacity - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    bool more = false;
    if (!failed && total == capacity) {
        uint8_t probe;
        more = ::read(fd, &probe, 1) == 1;
    }
    if (::close(fd) != 0) failed = true;
    if (failed) return ReadResult::IoError;
    if (more) return ReadResult::TooLarge;
    bytesRead = static_cast<int32_t>(total);
    return ReadResult::Ok;
}

}  // namespace platform
