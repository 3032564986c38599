// Floor of the benchmark: the least that a converter which replaces its output safely
// must do. Reads the input to its end with reads of the size romcast asks for, writes
// a 64 KiB image to a new file beside the output and renames that over the output,
// so that romcast's time over this program's is the cost of its parsing and checks.
// With a SIZE it writes SIZE bytes instead, from a heap buffer it fills with 0xFF
// first, as a converter of a window that size must touch the whole image before
// writing it; the buffer is aligned to 2 MiB and, on Linux, advised to take huge
// pages, as romcast's chunks are. The new file gets its blocks before it is written,
// as romcast's do, so that the rename does not wait for it to be written back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conversion_state.h"

namespace {

char block[INPUT_BLOCK_SIZE];
unsigned char image[IMAGE_SIZE];

// Writes size bytes to a new file beside path and renames it to path; false on any
// failure. Only the C library, as romcast: the C++ one would add its loading to each run.
bool replaceFile(const char* path, const unsigned char* data, std::size_t size)
{
    // A device or a FIFO is no file to replace: /dev/null renamed over would be gone.
    struct stat info {};
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        std::fputs("romcast_floor: OUTPUT must be a regular file or new\n", stderr);
        return false;
    }
    char temporary[4096];
    int length = std::snprintf(temporary, sizeof temporary, "%s.floor-tmp", path);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary) {
        return false;
    }
    int output = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output < 0) {
        return false;
    }
#if defined(FALLOC_FL_KEEP_SIZE)
    static_cast<void>(fallocate(output, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)));
#endif
    std::size_t written = 0;
    while (written < size) {
        ssize_t done = write(output, data + written, size - written);
        if (done <= 0) {
            break;
        }
        written += static_cast<std::size_t>(done);
    }
    if (close(output) != 0 || written != size || std::rename(temporary, path) != 0) {
        static_cast<void>(unlink(temporary));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3 || argc > 4) {
        std::fputs("usage: romcast_floor INPUT OUTPUT [SIZE]\n", stderr);
        return 1;
    }
    unsigned char* data = image;
    std::size_t size = sizeof image;
    if (argc == 4) {
        char* end = nullptr;
        unsigned long long wanted = std::strtoull(argv[3], &end, 0);
        if (*end != '\0' || wanted == 0 || wanted > SIZE_MAX) {
            std::fputs("romcast_floor: SIZE is a byte count above 0\n", stderr);
            return 1;
        }
        size = static_cast<std::size_t>(wanted);
        std::size_t rounded = (size + CHUNK_SIZE - 1) / CHUNK_SIZE * CHUNK_SIZE;
        data = static_cast<unsigned char*>(std::aligned_alloc(CHUNK_SIZE, rounded));
        if (data == nullptr) {
            return 5;
        }
#if defined(MADV_HUGEPAGE)
        static_cast<void>(madvise(data, rounded, MADV_HUGEPAGE));
#endif
    }
    int input = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        return 3;
    }
    ssize_t got = 0;
    do {
        got = read(input, block, sizeof block);
    } while (got > 0);
    if (close(input) != 0 || got < 0) {
        return 3;
    }
    std::memset(data, FREE_BYTE, size);
    return replaceFile(argv[2], data, size) ? 0 : 2;
}
