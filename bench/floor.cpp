// Floor of the benchmark: the least any converter must do. Reads the input to its
// end with reads of the size romcast asks for, then writes a 64 KiB image, so that
// romcast's time over this program's is the cost of its parsing and checks.
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "conversion_state.h"

namespace {

char block[INPUT_BLOCK_SIZE];
unsigned char image[IMAGE_SIZE];

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fputs("usage: romcast_floor INPUT OUTPUT\n", stderr);
        return 1;
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
    std::memset(image, FREE_BYTE, sizeof image);
    std::FILE* output = std::fopen(argv[2], "wb");
    if (output == nullptr) {
        return 2;
    }
    bool written = std::fwrite(image, 1, sizeof image, output) == sizeof image;
    return std::fclose(output) == 0 && written ? 0 : 2;
}
