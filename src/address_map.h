// The address map: where data lies in the 32-bit file address space, as a list of
// runs of contiguous addresses, and how --map prints it. Owns the runs' array; the
// records give their data's addresses only, so memory grows with the runs, not the bytes.
#pragma once

#include "results.h"

struct AddressRun {
    std::uint32_t first;  // file address of the run's first byte
    std::uint32_t last;   // file address of its last byte, first or above
};

struct RunList {
    AddressRun* runs = nullptr;  // count runs: in address order and apart only after sortRuns
    std::size_t count = 0;
    std::size_t capacity = 0;  // runs the array has room for
};

// Records count bytes (1 or more) from file address first; the caller has checked
// that the last of them lies at 0xFFFFFFFF or below. The bytes extend the last run
// when they follow it, as records in address order do; else they start a run.
// Returns RESULT_OK or RESULT_NO_MEMORY.
int addRun(RunList& list, std::uint32_t first, std::uint32_t count, MemoryAllocator allocate);

// Appends the runs of `from` to the list, unsorted. Returns RESULT_OK or RESULT_NO_MEMORY.
int appendRuns(RunList& list, const RunList& from, MemoryAllocator allocate);

// Puts the runs in address order and merges those that overlap or touch. With
// overlaps, the addresses that more than one run covers are added to it, in
// address order and merged. Returns RESULT_OK or RESULT_NO_MEMORY.
int sortRuns(RunList& list, RunList* overlaps, MemoryAllocator allocate);

// Frees the runs' array; safe to call twice.
void releaseRuns(RunList& list);

// Prints the sorted runs on standard output, one line each: first and last file
// address, then the byte count in decimal; "No data" when there is none.
void printRuns(const RunList& list);

// Prints the sorted addresses written more than once, one line each as a run with
// "Overlap " before it; nothing when there are none.
void printOverlaps(const RunList& overlaps);

// The most characters a start address takes as formatStartAddress writes it.
constexpr std::size_t START_ADDRESS_TEXT = 24;

// Writes the start address of a type 03 record as "CS:IP (CS:IP)", of a type 05
// record as "0x" and eight digits; "" for type 0, no start address.
void formatStartAddress(char (&text)[START_ADDRESS_TEXT], unsigned type, std::uint32_t value);

// Prints the start address of a type 03 (CS:IP) or 05 (linear) record; nothing
// for type 0, no start address.
void printStartAddress(unsigned type, std::uint32_t value);

// Prints the --offset and --size of the smallest window that holds every run of
// the sorted list, as a user would type them; nothing when there is no data.
void printWindow(const RunList& list);

// How full a window of file addresses is: what was written in it and its largest
// run of free bytes, taken from runs given in ascending order.
struct WindowUse {
    std::uint64_t start = 0;          // the window's first file address
    std::uint64_t end = 0;            // its last file address + 1
    std::uint64_t written = 0;        // bytes written in the window
    std::uint64_t freeFrom = 0;       // where the free bytes after the runs added so far begin
    std::uint64_t largestFree = 0;    // the longest run of free bytes so far, the first of equals
    std::uint64_t largestFreeAt = 0;  // its first file address
};

// Starts counting the use of the window of size bytes at file address start.
void startWindowUse(WindowUse& use, std::uint64_t start, std::uint64_t size);

// Counts the written bytes from file address first up to, not including, end, as
// far as they lie in the window; runs come in ascending order and apart.
void addWrittenRun(WindowUse& use, std::uint64_t first, std::uint64_t end);

// Prints the window's use on standard output: its bytes written and free, the share
// written in tenths of a percent (rounded down, so that 100.0% means full), and its
// largest run of free bytes with its address.
void printWindowUse(WindowUse& use);

// Counts the sorted runs of the list in the window of size bytes at file address
// start, and prints its use.
void printRunsUse(const RunList& list, std::uint64_t start, std::uint64_t size);
