// Floor of the benchmark: the least any converter must do. Reads the input to its
// end in blocks of the size romcast reads, then writes a 64 KiB image, so that
// romcast's time over this program's is the cost of its parsing and checks.
#include <cstdio>
#include <cstring>

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
    std::FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr) {
        return 3;
    }
    while (std::fread(block, 1, sizeof block, input) == sizeof block) {
    }
    bool readFailed = std::ferror(input) != 0;
    if (std::fclose(input) != 0 || readFailed) {
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
