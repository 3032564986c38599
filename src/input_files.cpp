// The choice of reader by an input's content.
#include "input_files.h"

#include <cstring>

#include "elf_reader.h"
#include "hex_reader.h"
#include "srec_reader.h"

namespace {

constexpr char ELF_MAGIC[] =
    "\x7F"
    "ELF";
constexpr std::size_t MAGIC_SIZE = 4;

}  // namespace

int readInputFile(InputState& input, MemoryImage& image, const char* path, const KernelSet& kernels)
{
    input.kind = INPUT_HEX;
    if (openInput(input, path) != RESULT_OK) {
        reportInputFault(input, true);
        return RESULT_READ_FAILED;
    }
    // The magic's four bytes, or less where a line ends first: then it is no ELF file.
    int rc = peekInput(input, MAGIC_SIZE);
    const char* start = input.inputBlock + input.blockStart;
    std::size_t available = input.blockEnd - input.blockStart;
    if (rc == RESULT_OK && available >= MAGIC_SIZE && std::memcmp(start, ELF_MAGIC, MAGIC_SIZE) == 0) {
        return readElfInput(input, image);
    }
    if (rc == RESULT_OK && available > 0 && start[0] == 'S') {
        // The first line, whole, as the HEX reader would read it too.
        bool emptyPiece = false;
        rc = beginLine(input, &emptyPiece);
        if (rc == RESULT_OK && looksLikeSRecord(input.inputBlock + input.blockStart, peekLineLength(input))) {
            return readSRecordInput(input, image, kernels);
        }
    }
    if (rc != RESULT_OK) {
        static_cast<void>(closeInput(input));
        reportInputFault(input, false);
        return RESULT_READ_FAILED;
    }
    return readHexInput(input, image, kernels);
}
