// The data store shared by the readers: window, crop, overlap and the map's runs.
#include "data_store.h"

#include <cstring>

#include "record_decoder.h"

namespace {

// Notes a data byte of the input at the file address that the window skipped.
void noteSkipped(InputState& input, std::uint64_t fileAddress)
{
    if (!input.skippedAny) {
        input.skippedAny = true;
        input.firstSkipped = fileAddress;
    }
}

// Records where the bytes lie, for the address map. Every byte must lie in the
// 32-bit file address space.
StoreResult mapData(MemoryImage& image, std::uint64_t fileAddress, std::uint64_t count)
{
    if (fileAddress + count - 1 > MAX_FILE_ADDRESS) {
        std::uint64_t beyond = fileAddress > MAX_FILE_ADDRESS ? 0 : MAX_FILE_ADDRESS + 1 - fileAddress;
        return StoreResult{STORE_OUTSIDE, beyond};
    }
    // A run list counts in 32 bits: a range of 2^32 bytes goes in two.
    for (std::uint64_t done = 0; done < count;) {
        std::uint64_t here = count - done < 0x80000000 ? count - done : 0x80000000;
        if (addRun(image.runs, static_cast<std::uint32_t>(fileAddress + done),
                   static_cast<std::uint32_t>(here), image.allocate) != RESULT_OK) {
            return StoreResult{STORE_NO_MEMORY, done};
        }
        image.byteCount += here;
        done += here;
    }
    return StoreResult{STORE_OK, 0};
}

// The first of count bytes of a page from offset on that may not be written: one
// that an earlier input wrote, or with ownBytes one that is not 0xFF; offset + count
// when there is none.
std::size_t firstTaken(const ImagePage& page, std::size_t offset, std::size_t count, bool ownBytes)
{
    std::size_t end = offset + count;
    if (ownBytes && !allFree(page.bytes + offset, static_cast<unsigned>(count))) {
        for (end = offset; page.bytes[end] == FREE_BYTE; ++end) {
        }
    }
    if (page.earlier != nullptr) {
        std::size_t earlier = firstSetBit(page.earlier, offset, end - offset);
        end = earlier < end ? earlier : end;
    }
    return end;
}

}  // namespace

void startInputData(InputState& input, MemoryImage& image, InputKind kind)
{
    input.dataBefore = image.byteCount + image.skippedCount;
    input.storedBefore = image.byteCount;
    input.kind = kind;
    ++image.inputNumber;
}

StoreResult storeData(InputState& input, MemoryImage& image, std::uint64_t fileAddress,
                      const unsigned char* bytes, std::uint64_t count, bool ownBytes)
{
    if (image.mapping) {
        return mapData(image, fileAddress, count);
    }
    for (std::uint64_t done = 0; done < count;) {
        std::uint64_t here = count - done;
        std::uint64_t at = imageAddress(image, fileAddress + done);
        if (at == OUTSIDE_WINDOW) {
            if (!image.cropWindow) {
                return StoreResult{STORE_OUTSIDE, done};
            }
            noteSkipped(input, fileAddress + done);
            // Below the window only as far as its start; above it, all that is left.
            if (fileAddress + done < image.windowStart && image.windowStart - (fileAddress + done) < here) {
                here = image.windowStart - (fileAddress + done);
            }
            image.skippedCount += here;
            done += here;
            continue;
        }
        std::uint64_t offset = at & PAGE_MASK;
        here = here < image.windowSize - at ? here : image.windowSize - at;
        here = here < PAGE_SIZE - offset ? here : PAGE_SIZE - offset;
        ImagePage* page = inputPageAt(image, at);
        if (page == nullptr) {
            return StoreResult{STORE_NO_MEMORY, done};
        }
        std::size_t taken =
            firstTaken(*page, static_cast<std::size_t>(offset), static_cast<std::size_t>(here), ownBytes);
        std::uint64_t free = taken - offset;  // bytes that may be written, before the one at fault
        if (free > 0) {
            std::memcpy(page->bytes + offset, bytes + done, static_cast<std::size_t>(free));
            setBits(page->written, static_cast<std::size_t>(offset), static_cast<std::size_t>(free));
            image.byteCount += free;
            auto last = static_cast<std::uint32_t>(at + free - 1);
            image.highestAddress = last > image.highestAddress ? last : image.highestAddress;
        }
        if (free < here) {
            return StoreResult{STORE_OVERLAP, done + free};
        }
        done += here;
    }
    return StoreResult{STORE_OK, 0};
}
