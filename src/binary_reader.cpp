// Binary input: raw blocks into the image or the map.
#include "binary_reader.h"

#include <cstdio>
#include <cstring>

#include "hex_reader.h"

namespace {

// Reports a byte that lies outside the window, or past the address space; a map
// has no window, so it gets no hint.
int reportOutside(const HexInput& input, const MemoryImage& image, std::uint64_t fileAddress,
                  std::uint64_t fileOffset)
{
    static_cast<void>(std::fprintf(
        input.messages.stream, "\n%s: Address 0x%08llX (byte %llu of the file) beyond buffer !\n", input.name,
        static_cast<unsigned long long>(fileAddress), static_cast<unsigned long long>(fileOffset)));
    if (!image.mapping) {
        printWindowHint(input, image, fileAddress);
    }
    return RESULT_READ_FAILED;
}

// Records where count bytes from fileAddress lie, for the address map.
int mapBytes(const HexInput& input, MemoryImage& image, std::uint64_t fileAddress, std::uint64_t fileOffset,
             std::size_t count)
{
    if (fileAddress + count - 1 > MAX_FILE_ADDRESS) {
        std::uint64_t beyond = fileAddress > MAX_FILE_ADDRESS ? fileAddress : MAX_FILE_ADDRESS + 1;
        return reportOutside(input, image, beyond, fileOffset + (beyond - fileAddress));
    }
    int rc = addRun(image.runs, static_cast<std::uint32_t>(fileAddress), static_cast<std::uint32_t>(count),
                    image.allocate);
    image.byteCount += rc == RESULT_OK ? count : 0;
    return rc;
}

// Stores count bytes read from byte fileOffset of the file, at fileAddress on, page
// by page; bytes outside the window fail the read, or are skipped with crop.
int storeBytes(HexInput& input, MemoryImage& image, std::uint64_t fileAddress, std::uint64_t fileOffset,
               const unsigned char* bytes, std::size_t count)
{
    for (std::size_t done = 0; done < count;) {
        std::uint64_t here = count - done;
        std::uint64_t at = imageAddress(image, fileAddress + done);
        if (at == OUTSIDE_WINDOW) {
            if (!image.cropWindow) {
                return reportOutside(input, image, fileAddress + done, fileOffset + done);
            }
            noteSkipped(input, fileAddress + done);
            // Below the window only as far as its start; above it, all that is left.
            if (fileAddress + done < image.windowStart && image.windowStart - (fileAddress + done) < here) {
                here = image.windowStart - (fileAddress + done);
            }
            image.skippedCount += here;
            done += static_cast<std::size_t>(here);
            continue;
        }
        std::uint64_t offset = at & PAGE_MASK;
        here = here < image.windowSize - at ? here : image.windowSize - at;
        here = here < PAGE_SIZE - offset ? here : PAGE_SIZE - offset;
        ImagePage* page = inputPageAt(image, at);
        if (page == nullptr) {
            return RESULT_NO_MEMORY;
        }
        // The file is read in ascending order, so only an earlier input can have written here.
        std::size_t taken = page->earlier == nullptr
                                ? static_cast<std::size_t>(offset + here)
                                : firstSetBit(page->earlier, static_cast<std::size_t>(offset),
                                              static_cast<std::size_t>(here));
        if (taken < offset + here) {
            std::uint64_t conflict = done + (taken - offset);  // bytes of this block before it
            unsigned long long conflictAddress = fileAddress + conflict;
            unsigned long long conflictByte = fileOffset + conflict;
            static_cast<void>(std::fprintf(input.messages.stream,
                                           "\n%s: Double databyte at 0x%08llX (byte %llu of the file) !\n",
                                           input.name, conflictAddress, conflictByte));
            return RESULT_READ_FAILED;
        }
        std::memcpy(page->bytes + offset, bytes + done, static_cast<std::size_t>(here));
        setBits(page->written, static_cast<std::size_t>(offset), static_cast<std::size_t>(here));
        image.byteCount += here;
        auto last = static_cast<std::uint32_t>(at + here - 1);
        image.highestAddress = last > image.highestAddress ? last : image.highestAddress;
        done += static_cast<std::size_t>(here);
    }
    return RESULT_OK;
}

}  // namespace

int readBinaryFile(HexInput& input, MemoryImage& image, const char* path, std::uint32_t address)
{
    input.dataBefore = image.byteCount + image.skippedCount;
    input.storedBefore = image.byteCount;
    input.binary = true;
    input.binaryAddress = address;
    ++image.inputNumber;

    std::uint64_t size = 0;
    int rc = readRawInput(
        input, path, &size, [&](const unsigned char* bytes, std::size_t count, std::uint64_t fileOffset) {
            return image.mapping ? mapBytes(input, image, address + fileOffset, fileOffset, count)
                                 : storeBytes(input, image, address + fileOffset, fileOffset, bytes, count);
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
