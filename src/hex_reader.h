// Intel HEX reader (8-bit variant with address records): turns one HEX input into
// bytes of the image, or into runs of the address map. While it runs it owns the
// InputState and adds to the image's counters; it checks each record in a fixed order
// and reports each fault on standard output where it is found. Text reading lives in
// line_reader, the in-place fast path in record_decoder.
#pragma once

#include "data_store.h"
#include "hex_vector.h"
#include "line_reader.h"
#include "memory_image.h"

// Reads the input that openInput opened, to its end, into the image as Intel HEX,
// with the kernels for the common data records. Returns RESULT_OK after the
// end-of-file record, or at the end of the input once a data byte was seen; else
// RESULT_READ_FAILED, or RESULT_NO_MEMORY (no message) when a page or a run could
// not be had. Nothing is read after the end-of-file record, and the input is closed
// on every way out. input.name, standardInput, nameInMessages and strictRecords are
// the caller's to set.
int readHexInput(InputState& input, MemoryImage& image, const KernelSet& kernels);

// Ends the read of a text input whose last line gave rc: closes it and turns rc into
// the read's result. After the end record (`endRecord`, "End-of-file record") the
// read succeeds; at the end of the input it fails without data, or with strict
// records with "<endRecord> missing after <line> N !"; a read error gives "Can't
// read file". A success is checked against a cropping window.
int finishTextInput(InputState& input, const MemoryImage& image, int rc, const char* endRecord,
                    const char* line);

// With a cropping window, fails the read of an input that gave data of which none
// lies in the window, with a message; RESULT_OK otherwise, and for a read-back.
int requireDataInWindow(const InputState& input, const MemoryImage& image);

// Words a data byte of the current line that the store could not take, the record's
// first byte at file address first, for a kind whose lines are called `line`
// ("HEX-Line"): outside the window (with its hint) or past the address space, or
// written twice (with the address when the input names itself). Returns
// RESULT_READ_FAILED, RESULT_NO_MEMORY, or RESULT_OK when nothing went wrong.
int reportStoreFault(const InputState& input, const MemoryImage& image, const StoreResult& stored,
                     std::uint64_t first, const char* line);

// With input.messages.explain, prints the line that follows a window fault: where the
// data at the file address lies against the window, and the --map run that tells
// the window that holds all the data.
void printWindowHint(const InputState& input, const MemoryImage& image, unsigned long long fileAddress);

// Reads and handles one line of the input, or a run of data records of the common
// shape, as many as the block holds whole: RESULT_OK to go on, RESULT_END_RECORD,
// RESULT_READ_FAILED (message printed), RESULT_NO_MEMORY, LINE_END_OF_INPUT or
// LINE_INPUT_ERROR.
int parseHexLine(InputState& input, MemoryImage& image, const KernelSet& kernels);

// The value of the leading hexadecimal digits (at most two) at the position of the
// current line: "1G" gives 0x01, "G1" gives 0. Positions past the line read as its end.
unsigned decodeHexPair(const InputState& input, std::size_t position);

// The four characters at the position weigh 4096, 256, 16 and 1; a character that is
// not a hexadecimal digit adds nothing ("12G4" gives 0x1204).
unsigned decodeHexWord(const InputState& input, std::size_t position);
