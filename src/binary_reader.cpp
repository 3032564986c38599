// Binary input: raw blocks into the image or the map.
#include "binary_reader.h"

#include <cstdio>

#include "data_store.h"
#include "hex_reader.h"

namespace {

// Stores a block of count bytes read from byte fileOffset of the file, at
// fileAddress on, and words the message for a byte that could not be stored: one
// outside the window or past the address space (a map has no window, so it gets no
// hint), or on a byte an earlier input wrote.
int storeBlock(InputState& input, MemoryImage& image, std::uint64_t fileAddress, std::uint64_t fileOffset,
               const unsigned char* bytes, std::size_t count)
{
    // The file is read in ascending order, so only an earlier input can have written here.
    StoreResult stored = storeData(input, image, fileAddress, bytes, count, false);
    unsigned long long address = fileAddress + stored.failed;
    unsigned long long byte = fileOffset + stored.failed;
    switch (stored.outcome) {
    case STORE_OUTSIDE:
        static_cast<void>(std::fprintf(input.messages.stream,
                                       "\n%s: Address 0x%08llX (byte %llu of the file) beyond buffer !\n",
                                       input.name, address, byte));
        if (!image.mapping) {
            printWindowHint(input, image, address);
        }
        return RESULT_READ_FAILED;
    case STORE_OVERLAP:
        static_cast<void>(std::fprintf(input.messages.stream,
                                       "\n%s: Double databyte at 0x%08llX (byte %llu of the file) !\n",
                                       input.name, address, byte));
        return RESULT_READ_FAILED;
    case STORE_NO_MEMORY:
        return RESULT_NO_MEMORY;
    default:
        return RESULT_OK;
    }
}

}  // namespace

int readBinaryFile(InputState& input, MemoryImage& image, const char* path, std::uint32_t address)
{
    startInputData(input, image, INPUT_BINARY);
    input.binaryAddress = address;

    std::uint64_t size = 0;
    int rc = readRawInput(input, path, &size,
                          [&](const unsigned char* bytes, std::size_t count, std::uint64_t fileOffset) {
                              return storeBlock(input, image, address + fileOffset, fileOffset, bytes, count);
                          });
    if (rc != RESULT_OK) {
        return rc;
    }
    if (size == 0) {
        static_cast<void>(std::fprintf(input.messages.stream, "\n%s: The file is empty !\n", input.name));
        return RESULT_READ_FAILED;
    }
    return requireDataInWindow(input, image);
}
