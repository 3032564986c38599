// The address map: the run list and its printing.
#include "address_map.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t FIRST_CAPACITY = 64;

// Makes room for one more run. Returns RESULT_OK or RESULT_NO_MEMORY, the list unchanged.
int reserveRun(RunList& list, MemoryAllocator allocate)
{
    if (list.count < list.capacity) {
        return RESULT_OK;
    }
    std::size_t capacity = list.capacity == 0 ? FIRST_CAPACITY : 2 * list.capacity;
    auto* runs = static_cast<AddressRun*>(allocate(capacity * sizeof(AddressRun)));
    if (runs == nullptr) {
        return RESULT_NO_MEMORY;
    }
    if (list.count > 0) {
        std::memcpy(runs, list.runs, list.count * sizeof(AddressRun));
    }
    std::free(list.runs);
    list.runs = runs;
    list.capacity = capacity;
    return RESULT_OK;
}

int compareRuns(const void* a, const void* b)
{
    std::uint32_t first = static_cast<const AddressRun*>(a)->first;
    std::uint32_t second = static_cast<const AddressRun*>(b)->first;
    return first < second ? -1 : (first > second ? 1 : 0);
}

}  // namespace

int addRun(RunList& list, std::uint32_t first, std::uint32_t count, MemoryAllocator allocate)
{
    std::uint32_t last = first + (count - 1);
    if (list.count > 0) {
        AddressRun& previous = list.runs[list.count - 1];
        if (std::uint64_t{previous.last} + 1 == first) {
            previous.last = last;
            return RESULT_OK;
        }
    }
    int rc = reserveRun(list, allocate);
    if (rc == RESULT_OK) {
        list.runs[list.count++] = AddressRun{first, last};
    }
    return rc;
}

int appendRuns(RunList& list, const RunList& from, MemoryAllocator allocate)
{
    for (std::size_t i = 0; i < from.count; ++i) {
        int rc = reserveRun(list, allocate);
        if (rc != RESULT_OK) {
            return rc;
        }
        list.runs[list.count++] = from.runs[i];
    }
    return RESULT_OK;
}

int sortRuns(RunList& list, RunList* overlaps, MemoryAllocator allocate)
{
    if (list.count == 0) {
        return RESULT_OK;
    }
    std::qsort(list.runs, list.count, sizeof(AddressRun), compareRuns);
    std::size_t kept = 0;
    for (std::size_t i = 1; i < list.count; ++i) {
        AddressRun& last = list.runs[kept];
        const AddressRun& next = list.runs[i];
        if (next.first > std::uint64_t{last.last} + 1) {
            list.runs[++kept] = next;
            continue;
        }
        if (overlaps != nullptr && next.first <= last.last) {
            std::uint32_t shared = next.last < last.last ? next.last : last.last;
            int rc = addRun(*overlaps, next.first, shared - next.first + 1, allocate);
            if (rc != RESULT_OK) {
                return rc;
            }
        }
        if (next.last > last.last) {
            last.last = next.last;
        }
    }
    list.count = kept + 1;
    // Found in order of their first address, the overlaps may still overlap each other.
    return overlaps != nullptr ? sortRuns(*overlaps, nullptr, allocate) : RESULT_OK;
}

void releaseRuns(RunList& list)
{
    std::free(list.runs);
    list = RunList{};
}

namespace {

void printRunLines(const RunList& list, const char* label)
{
    for (std::size_t i = 0; i < list.count; ++i) {
        const AddressRun& run = list.runs[i];
        unsigned long long count = std::uint64_t{run.last} - run.first;
        std::printf("%s0x%08lX-0x%08lX %llu\n", label, static_cast<unsigned long>(run.first),
                    static_cast<unsigned long>(run.last), count + 1);
    }
}

}  // namespace

void printRuns(const RunList& list)
{
    if (list.count == 0) {
        std::printf("No data\n");
    }
    printRunLines(list, "");
}

void printOverlaps(const RunList& overlaps)
{
    printRunLines(overlaps, "Overlap ");
}

void formatStartAddress(char (&text)[START_ADDRESS_TEXT], unsigned type, std::uint32_t value)
{
    text[0] = '\0';
    if (type == 3) {
        static_cast<void>(std::snprintf(text, sizeof text, "%04lX:%04lX (CS:IP)",
                                        static_cast<unsigned long>(value >> 16),
                                        static_cast<unsigned long>(value & 0xFFFF)));
    } else if (type == 5) {
        static_cast<void>(std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value)));
    }
}

void printStartAddress(unsigned type, std::uint32_t value)
{
    char text[START_ADDRESS_TEXT];
    formatStartAddress(text, type, value);
    if (text[0] != '\0') {
        std::printf("Start address %s\n", text);
    }
}

void printWindow(const RunList& list)
{
    if (list.count == 0) {
        return;
    }
    std::uint32_t first = list.runs[0].first;
    unsigned long long size = std::uint64_t{list.runs[list.count - 1].last} - first;
    std::printf("Window --offset 0x%08lX --size 0x%llX\n", static_cast<unsigned long>(first), size + 1);
}

namespace {

// Notes the free bytes from use.freeFrom up to `end`.
void noteFree(WindowUse& use, std::uint64_t end)
{
    if (end > use.freeFrom && end - use.freeFrom > use.largestFree) {
        use.largestFree = end - use.freeFrom;
        use.largestFreeAt = use.freeFrom;
    }
}

}  // namespace

void startWindowUse(WindowUse& use, std::uint64_t start, std::uint64_t size)
{
    use = WindowUse{};
    use.start = start;
    use.end = start + size;
    use.freeFrom = start;
}

void addWrittenRun(WindowUse& use, std::uint64_t first, std::uint64_t end)
{
    first = first > use.start ? first : use.start;
    end = end < use.end ? end : use.end;
    if (first >= end) {
        return;
    }
    noteFree(use, first);
    use.written += end - first;
    use.freeFrom = end;
}

void printWindowUse(WindowUse& use)
{
    noteFree(use, use.end);
    std::uint64_t size = use.end - use.start;
    // At most 2^32 * 1000: no overflow. A window holds a byte at least.
    std::uint64_t perMille = size == 0 ? 0 : use.written * 1000 / size;
    std::printf(
        "Use of 0x%08llX-0x%08llX: %llu bytes written, %llu free (%llu.%llu%% written), ",
        static_cast<unsigned long long>(use.start), static_cast<unsigned long long>(use.end - 1),
        static_cast<unsigned long long>(use.written), static_cast<unsigned long long>(size - use.written),
        static_cast<unsigned long long>(perMille / 10), static_cast<unsigned long long>(perMille % 10));
    if (use.largestFree == 0) {
        std::printf("no free run\n");
    } else {
        std::printf("largest free run %llu at 0x%08llX\n", static_cast<unsigned long long>(use.largestFree),
                    static_cast<unsigned long long>(use.largestFreeAt));
    }
}

void printRunsUse(const RunList& list, std::uint64_t start, std::uint64_t size)
{
    WindowUse use;
    startWindowUse(use, start, size);
    for (std::size_t i = 0; i < list.count; ++i) {
        addWrittenRun(use, list.runs[i].first, std::uint64_t{list.runs[i].last} + 1);
    }
    printWindowUse(use);
}
