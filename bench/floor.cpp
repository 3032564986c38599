// Floor of the benchmark: the least any converter must do. Reads the input to its
// end with reads of the size romcast asks for, then writes a 64 KiB image, so that
// romcast's time over this program's is the cost of its parsing and checks. With a
// SIZE it writes SIZE bytes instead, from a heap buffer it fills with 0xFF first, as
// a converter of a window that size must touch the whole image before writing it;
// the buffer is aligned to 2 MiB and, on Linux, advised to take huge pages, as
// romcast's chunks are.
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "conversion_state.h"

namespace {

char block[INPUT_BLOCK_SIZE];
unsigned char image[IMAGE_SIZE];

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
    std::FILE* output = std::fopen(argv[2], "wb");
    if (output == nullptr) {
        return 2;
    }
    bool written = std::fwrite(data, 1, size, output) == size;
    return std::fclose(output) == 0 && written ? 0 : 2;
}
