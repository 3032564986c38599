// ELF input: checks an ELF file's headers, 32- or 64-bit in either byte order, and
// hands out its data one segment at a time: the file bytes of each PT_LOAD segment,
// at the load address a programmer writes them to. Reads the file only through the
// caller's callback, one header at a time; owns no memory and does no I/O or printing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "results.h"

// Reads size bytes at offset of the file into buffer; RESULT_OK or RESULT_READ_FAILED
// (a read error; the caller keeps errno). The unit never asks for bytes past fileSize.
using ElfReadAt = int (*)(void* source, std::uint64_t offset, void* buffer, std::size_t size);

// What is wrong with the file; each comes with RESULT_READ_FAILED and fills the
// ElfFault fields named here.
enum ElfFaultKind {
    ELF_FAULT_NONE = 0,               // no fault
    ELF_FAULT_READ = 1,               // the callback failed: offset, size
    ELF_FAULT_HEADER_CUT = 2,         // the file ends inside the ELF header: value (the bytes it
                                      // takes: 16 of identification, then 52 or 64), fileSize
    ELF_FAULT_CLASS = 3,              // EI_CLASS is neither 1 (32-bit) nor 2 (64-bit): value
    ELF_FAULT_DATA = 4,               // EI_DATA is neither 1 (little-endian) nor 2 (big-endian): value
    ELF_FAULT_VERSION = 5,            // EI_VERSION is not 1: value
    ELF_FAULT_ENTRY_SIZE = 6,         // e_phentsize below a program header of the class: value, size
                                      // (32 or 56)
    ELF_FAULT_EXTENDED_COUNT = 7,     // e_phnum is 0xFFFF (PN_XNUM), value: the count is in
                                      // section header 0, which is not read
    ELF_FAULT_TABLE_PAST_END = 8,     // the program header table reaches past the end of the file:
                                      // offset (e_phoff), size (e_phnum * e_phentsize), fileSize
    ELF_FAULT_SEGMENT_PAST_END = 9,   // a PT_LOAD's file bytes reach past the end of the file:
                                      // index, offset (p_offset), size (p_filesz), fileSize
    ELF_FAULT_ADDRESS_PAST_4G = 10,   // a PT_LOAD's last byte loads past 0xFFFFFFFF: index,
                                      // value (its first address), size, virtualAddress
    ELF_FAULT_ENTRY_PAST_4G = 11,     // e_entry lies past 0xFFFFFFFF: value
    ELF_FAULT_NO_LOADABLE_DATA = 12,  // no PT_LOAD has file bytes: value (e_phnum)
};

struct ElfFault {
    ElfFaultKind kind = ELF_FAULT_NONE;
    unsigned index = 0;           // the program header at fault, 0 to 65,533
    std::uint64_t value = 0;      // the field's value, as the kind says
    std::uint64_t offset = 0;     // file offset of the first byte at fault
    std::uint64_t size = 0;       // bytes from there, or from the address in value; 1 or more
    std::uint64_t fileSize = 0;   // bytes of the file
    bool virtualAddress = false;  // the address in value is p_vaddr, not p_paddr
};

// What openElfFile found; the caller keeps it for nextElfSegment.
struct ElfFile {
    std::uint64_t fileSize = 0;     // bytes of the file, as the caller gave them
    bool elf64 = false;             // ELFCLASS64: 64-bit fields, program headers of 56 bytes;
                                    // else ELFCLASS32: 32-bit fields, program headers of 32 bytes
    bool bigEndian = false;         // ELFDATA2MSB: fields most significant byte first
    std::uint64_t entry = 0;        // e_entry, any value; see elfStartAddress
    std::uint64_t tableOffset = 0;  // e_phoff: the table lies within the file
    unsigned headerCount = 0;       // e_phnum, 0 to 65,534
    unsigned headerSize = 0;        // e_phentsize: bytes from one program header to the next,
                                    // 32 or 56 and up
    bool virtualAddresses = false;  // every PT_LOAD has p_paddr 0 and one has a p_vaddr that is
                                    // not: segments load at p_vaddr, as older linkers meant
    unsigned segmentCount = 0;      // PT_LOAD entries with file bytes, 1 to 65,534
};

// One PT_LOAD segment's data.
struct ElfSegment {
    unsigned index = 0;         // its program header, 0 to 65,533
    std::uint32_t address = 0;  // load address of its first byte: p_paddr, or p_vaddr when
                                // ElfFile::virtualAddresses; address + size - 1 <= 0xFFFFFFFF
    std::uint64_t offset = 0;   // p_offset: file offset of its first byte
    std::uint64_t size = 0;     // p_filesz, 1 to 2^32; offset + size <= fileSize. The rest of
                                // p_memsz (.bss) is zeroed at run time and is no data
};

// nextElfSegment's result when no program header is left; beside the codes of
// results.h, it never leaves the caller's loop.
constexpr int ELF_NO_MORE_SEGMENTS = 9;

// The most characters, with the closing NUL, that formatElfFault writes.
constexpr std::size_t ELF_FAULT_TEXT = 160;

// Checks the ELF header of a file of fileSize bytes whose magic the caller has seen,
// then every program header, so that a fault anywhere in the file is found before a
// segment is handed out. Returns RESULT_OK with *elf filled in; or RESULT_READ_FAILED
// with *fault: a read error, or a fault of the headers or of a PT_LOAD entry, or no
// PT_LOAD with file bytes. The entry point is not checked: see elfStartAddress. Each
// read takes one header; the table is read only once its extent lies within the file.
int openElfFile(ElfFile* elf, std::uint64_t fileSize, ElfReadAt readAt, void* source, ElfFault* fault);

// Finds the next PT_LOAD with file bytes from program header *index on (start at 0),
// reading and checking each header on the way, and leaves *index past it. Returns
// RESULT_OK with *segment; ELF_NO_MORE_SEGMENTS once the table ends; or
// RESULT_READ_FAILED with *fault: a read error, or a fault of the segment where the
// file changed after openElfFile checked it.
int nextElfSegment(const ElfFile& elf, ElfReadAt readAt, void* source, unsigned* index, ElfSegment* segment,
                   ElfFault* fault);

// The entry point as a 32-bit start address. Returns RESULT_OK, or RESULT_READ_FAILED
// with ELF_FAULT_ENTRY_PAST_4G when e_entry lies past 0xFFFFFFFF. Asked only where the
// start address is used: a 64-bit file's entry may be a virtual address far above
// its load addresses, which says nothing of the data.
int elfStartAddress(const ElfFile& elf, std::uint32_t* start, ElfFault* fault);

// Writes the fault as one line of plain English, without a line end, for the
// program to print after the input's name; cut to size characters with the NUL.
void formatElfFault(const ElfFault& fault, char* text, std::size_t size);
