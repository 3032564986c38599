// ELF input: the header's checks and the PT_LOAD segments, one program header per read.
#include "elf_format.h"

#include <cstdio>

namespace {

// The identification, e_ident: the first 16 bytes of every ELF file, in both classes.
constexpr std::size_t IDENT_SIZE = 16;
constexpr std::size_t IDENT_CLASS = 4;    // 1 ELFCLASS32, 2 ELFCLASS64
constexpr std::size_t IDENT_DATA = 5;     // 1 ELFDATA2LSB, 2 ELFDATA2MSB
constexpr std::size_t IDENT_VERSION = 6;  // 1 EV_CURRENT, the only version there is

constexpr unsigned EXTENDED_COUNT = 0xFFFF;  // PN_XNUM in e_phnum
constexpr std::uint64_t LOAD_SEGMENT = 1;    // PT_LOAD in p_type
constexpr std::uint64_t MAX_ADDRESS = 0xFFFFFFFF;
constexpr std::size_t LARGEST_HEADER = 64;  // the ELF header of ELF64; ELF32's takes 52 bytes

// Where the fields of the ELF header and of a program header lie in one class.
// e_phentsize and e_phnum take 2 bytes, p_type 4 bytes at offset 0 in both classes;
// the addresses, offsets and sizes take a word of 4 or 8 bytes.
struct Layout {
    std::size_t headerSize;         // bytes of the ELF header: 52 or 64
    std::size_t entry;              // e_entry
    std::size_t tableOffset;        // e_phoff
    std::size_t entrySize;          // e_phentsize
    std::size_t entryCount;         // e_phnum
    std::size_t programHeaderSize;  // bytes of the fields of a program header: 32 or 56
    std::size_t offset;             // p_offset
    std::size_t virtualAddress;     // p_vaddr
    std::size_t physicalAddress;    // p_paddr
    std::size_t fileSize;           // p_filesz
    unsigned wordSize;              // 4 or 8
};

constexpr Layout LAYOUT_32 = {52, 24, 28, 42, 44, 32, 4, 8, 12, 16, 4};
// ELF64 moves p_flags up beside p_type, so that the words that follow are aligned.
constexpr Layout LAYOUT_64 = {64, 24, 32, 54, 56, 56, 8, 16, 24, 32, 8};

// The fields of a program header that the data depend on.
struct ProgramHeader {
    std::uint64_t type;             // p_type: 1 PT_LOAD, any other
    std::uint64_t offset;           // p_offset, any value
    std::uint64_t virtualAddress;   // p_vaddr, any value
    std::uint64_t physicalAddress;  // p_paddr, any value
    std::uint64_t fileSize;         // p_filesz, any value
};

const Layout& layoutOf(const ElfFile& elf)
{
    return elf.elf64 ? LAYOUT_64 : LAYOUT_32;
}

// The unsigned field of width bytes (2, 4 or 8) at bytes, in the file's byte order.
std::uint64_t field(const unsigned char* bytes, unsigned width, bool bigEndian)
{
    std::uint64_t value = 0;
    for (unsigned k = 0; k < width; ++k) {
        value = value << 8 | (bigEndian ? bytes[k] : bytes[width - 1 - k]);
    }
    return value;
}

int fail(ElfFault* fault, ElfFaultKind kind, std::uint64_t value)
{
    fault->kind = kind;
    fault->value = value;
    return RESULT_READ_FAILED;
}

int readBytes(ElfReadAt readAt, void* source, std::uint64_t offset, void* buffer, std::size_t size,
              ElfFault* fault)
{
    if (readAt(source, offset, buffer, size) == RESULT_OK) {
        return RESULT_OK;
    }
    fault->offset = offset;
    fault->size = size;
    return fail(fault, ELF_FAULT_READ, 0);
}

// Reads program header index, which lies within the file: the table does, and each
// entry takes headerSize bytes, programHeaderSize of them fields.
int readProgramHeader(const ElfFile& elf, ElfReadAt readAt, void* source, unsigned index,
                      ProgramHeader* header, ElfFault* fault)
{
    const Layout& layout = layoutOf(elf);
    unsigned char bytes[LAYOUT_64.programHeaderSize];
    int rc = readBytes(readAt, source, elf.tableOffset + std::uint64_t{index} * elf.headerSize, bytes,
                       layout.programHeaderSize, fault);
    if (rc != RESULT_OK) {
        fault->index = index;
        return rc;
    }
    header->type = field(bytes, 4, elf.bigEndian);
    header->offset = field(bytes + layout.offset, layout.wordSize, elf.bigEndian);
    header->virtualAddress = field(bytes + layout.virtualAddress, layout.wordSize, elf.bigEndian);
    header->physicalAddress = field(bytes + layout.physicalAddress, layout.wordSize, elf.bigEndian);
    header->fileSize = field(bytes + layout.fileSize, layout.wordSize, elf.bigEndian);
    return RESULT_OK;
}

// Checks the identification and the fields of the ELF header, and that the program
// header table lies within the file.
int readElfHeader(ElfFile* elf, ElfReadAt readAt, void* source, ElfFault* fault)
{
    if (elf->fileSize < IDENT_SIZE) {
        return fail(fault, ELF_FAULT_HEADER_CUT, IDENT_SIZE);
    }
    unsigned char header[LARGEST_HEADER];
    std::size_t have =
        elf->fileSize < LARGEST_HEADER ? static_cast<std::size_t>(elf->fileSize) : LARGEST_HEADER;
    int rc = readBytes(readAt, source, 0, header, have, fault);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (header[IDENT_CLASS] != 1 && header[IDENT_CLASS] != 2) {
        return fail(fault, ELF_FAULT_CLASS, header[IDENT_CLASS]);
    }
    if (header[IDENT_DATA] != 1 && header[IDENT_DATA] != 2) {
        return fail(fault, ELF_FAULT_DATA, header[IDENT_DATA]);
    }
    if (header[IDENT_VERSION] != 1) {
        return fail(fault, ELF_FAULT_VERSION, header[IDENT_VERSION]);
    }
    elf->elf64 = header[IDENT_CLASS] == 2;
    elf->bigEndian = header[IDENT_DATA] == 2;
    const Layout& layout = layoutOf(*elf);
    if (elf->fileSize < layout.headerSize) {
        return fail(fault, ELF_FAULT_HEADER_CUT, layout.headerSize);
    }

    elf->entry = field(header + layout.entry, layout.wordSize, elf->bigEndian);
    elf->tableOffset = field(header + layout.tableOffset, layout.wordSize, elf->bigEndian);
    elf->headerSize = static_cast<unsigned>(field(header + layout.entrySize, 2, elf->bigEndian));
    auto count = static_cast<unsigned>(field(header + layout.entryCount, 2, elf->bigEndian));
    if (count == EXTENDED_COUNT) {
        return fail(fault, ELF_FAULT_EXTENDED_COUNT, count);
    }
    // Without program headers e_phentsize means nothing: an object file has 0 there.
    if (count > 0) {
        if (elf->headerSize < layout.programHeaderSize) {
            fault->size = layout.programHeaderSize;
            return fail(fault, ELF_FAULT_ENTRY_SIZE, elf->headerSize);
        }
        std::uint64_t tableSize = std::uint64_t{count} * elf->headerSize;  // below 2^32
        if (elf->tableOffset > elf->fileSize || tableSize > elf->fileSize - elf->tableOffset) {
            fault->offset = elf->tableOffset;
            fault->size = tableSize;
            return fail(fault, ELF_FAULT_TABLE_PAST_END, 0);
        }
    }
    elf->headerCount = count;
    return RESULT_OK;
}

// Writes the count bytes (1 or more) from first as "0xFIRST-0xLAST", each with at
// least `digits` digits. A last byte past 2^64 - 1 keeps its 65th bit, so that a
// range that wraps is shown as the header states it.
void formatRange(char (&text)[48], std::uint64_t first, std::uint64_t count, int digits)
{
    std::uint64_t last = first + (count - 1);
    if (last >= first) {
        static_cast<void>(std::snprintf(text, sizeof text, "0x%0*llX-0x%0*llX", digits,
                                        static_cast<unsigned long long>(first), digits,
                                        static_cast<unsigned long long>(last)));
    } else {
        static_cast<void>(std::snprintf(text, sizeof text, "0x%0*llX-0x1%016llX", digits,
                                        static_cast<unsigned long long>(first),
                                        static_cast<unsigned long long>(last)));
    }
}

}  // namespace

int openElfFile(ElfFile* elf, std::uint64_t fileSize, ElfReadAt readAt, void* source, ElfFault* fault)
{
    *elf = ElfFile{};
    *fault = ElfFault{};
    elf->fileSize = fileSize;
    fault->fileSize = fileSize;
    int rc = readElfHeader(elf, readAt, source, fault);
    if (rc != RESULT_OK) {
        return rc;
    }

    // Older linkers left p_paddr 0 and meant p_vaddr as the load address: where every
    // PT_LOAD has p_paddr 0 and one has a p_vaddr that is not, the virtual addresses
    // are taken.
    bool physical = false;
    bool virtualAddress = false;
    for (unsigned index = 0; index < elf->headerCount; ++index) {
        ProgramHeader header{};
        rc = readProgramHeader(*elf, readAt, source, index, &header, fault);
        if (rc != RESULT_OK) {
            return rc;
        }
        if (header.type == LOAD_SEGMENT) {
            physical = physical || header.physicalAddress != 0;
            virtualAddress = virtualAddress || header.virtualAddress != 0;
        }
    }
    elf->virtualAddresses = !physical && virtualAddress;

    // Every segment checked now, so that a fault fails the file before any of its data
    // reaches the image.
    unsigned index = 0;
    ElfSegment segment;
    while ((rc = nextElfSegment(*elf, readAt, source, &index, &segment, fault)) == RESULT_OK) {
        ++elf->segmentCount;
    }
    if (rc != ELF_NO_MORE_SEGMENTS) {
        return rc;
    }
    if (elf->segmentCount == 0) {
        return fail(fault, ELF_FAULT_NO_LOADABLE_DATA, elf->headerCount);
    }
    return RESULT_OK;
}

int nextElfSegment(const ElfFile& elf, ElfReadAt readAt, void* source, unsigned* index, ElfSegment* segment,
                   ElfFault* fault)
{
    *fault = ElfFault{};
    fault->fileSize = elf.fileSize;
    for (; *index < elf.headerCount; ++*index) {
        ProgramHeader header{};
        int rc = readProgramHeader(elf, readAt, source, *index, &header, fault);
        if (rc != RESULT_OK) {
            return rc;
        }
        if (header.type != LOAD_SEGMENT || header.fileSize == 0) {
            continue;
        }
        fault->index = *index;
        if (header.offset > elf.fileSize || header.fileSize > elf.fileSize - header.offset) {
            fault->offset = header.offset;
            fault->size = header.fileSize;
            return fail(fault, ELF_FAULT_SEGMENT_PAST_END, 0);
        }
        std::uint64_t address = elf.virtualAddresses ? header.virtualAddress : header.physicalAddress;
        if (address > MAX_ADDRESS || header.fileSize - 1 > MAX_ADDRESS - address) {
            fault->size = header.fileSize;
            fault->virtualAddress = elf.virtualAddresses;
            return fail(fault, ELF_FAULT_ADDRESS_PAST_4G, address);
        }
        segment->index = *index;
        segment->address = static_cast<std::uint32_t>(address);
        segment->offset = header.offset;
        segment->size = header.fileSize;
        ++*index;
        return RESULT_OK;
    }
    return ELF_NO_MORE_SEGMENTS;
}

int elfStartAddress(const ElfFile& elf, std::uint32_t* start, ElfFault* fault)
{
    if (elf.entry > MAX_ADDRESS) {
        *fault = ElfFault{};
        fault->fileSize = elf.fileSize;
        return fail(fault, ELF_FAULT_ENTRY_PAST_4G, elf.entry);
    }
    *start = static_cast<std::uint32_t>(elf.entry);
    return RESULT_OK;
}

void formatElfFault(const ElfFault& fault, char* text, std::size_t size)
{
    char range[48];
    auto value = static_cast<unsigned long long>(fault.value);
    auto fileSize = static_cast<unsigned long long>(fault.fileSize);
    switch (fault.kind) {
    case ELF_FAULT_NONE:
        static_cast<void>(std::snprintf(text, size, "%s", ""));
        break;
    case ELF_FAULT_READ:
        formatRange(range, fault.offset, fault.size, 1);
        static_cast<void>(std::snprintf(text, size, "Can't read bytes %s of the file !", range));
        break;
    case ELF_FAULT_HEADER_CUT:
        static_cast<void>(std::snprintf(text, size, "The ELF %s takes %llu bytes, the file has %llu !",
                                        fault.value == IDENT_SIZE ? "identification" : "header", value,
                                        fileSize));
        break;
    case ELF_FAULT_CLASS:
        static_cast<void>(
            std::snprintf(text, size, "EI_CLASS %llu is neither 1 (32-bit) nor 2 (64-bit) !", value));
        break;
    case ELF_FAULT_DATA:
        static_cast<void>(std::snprintf(
            text, size, "EI_DATA %llu is neither 1 (little-endian) nor 2 (big-endian) !", value));
        break;
    case ELF_FAULT_VERSION:
        static_cast<void>(
            std::snprintf(text, size, "EI_VERSION %llu is not 1, the current version !", value));
        break;
    case ELF_FAULT_ENTRY_SIZE:
        static_cast<void>(
            std::snprintf(text, size, "e_phentsize %llu is below the %llu bytes of an ELF%s program header !",
                          value, static_cast<unsigned long long>(fault.size),
                          fault.size == LAYOUT_64.programHeaderSize ? "64" : "32"));
        break;
    case ELF_FAULT_EXTENDED_COUNT:
        static_cast<void>(std::snprintf(
            text, size, "e_phnum 0x%llX (PN_XNUM: 65535 program headers or more) is not supported !", value));
        break;
    case ELF_FAULT_TABLE_PAST_END:
        formatRange(range, fault.offset, fault.size, 1);
        static_cast<void>(std::snprintf(
            text, size,
            "Program header table lies past the end of the file: bytes %s of a file of %llu bytes !", range,
            fileSize));
        break;
    case ELF_FAULT_SEGMENT_PAST_END:
        formatRange(range, fault.offset, fault.size, 1);
        static_cast<void>(std::snprintf(
            text, size,
            "Program header %u (PT_LOAD) lies past the end of the file: bytes %s of a file of %llu bytes !",
            fault.index, range, fileSize));
        break;
    case ELF_FAULT_ADDRESS_PAST_4G:
        formatRange(range, fault.value, fault.size, 8);
        static_cast<void>(std::snprintf(
            text, size, "Program header %u (PT_LOAD) loads past 0xFFFFFFFF: addresses %s (%s) !", fault.index,
            range, fault.virtualAddress ? "p_vaddr" : "p_paddr"));
        break;
    case ELF_FAULT_ENTRY_PAST_4G:
        static_cast<void>(
            std::snprintf(text, size, "Entry point e_entry 0x%08llX lies past 0xFFFFFFFF !", value));
        break;
    case ELF_FAULT_NO_LOADABLE_DATA:
        if (fault.value == 0) {
            static_cast<void>(
                std::snprintf(text, size, "No loadable data: the file has no program headers !"));
        } else {
            static_cast<void>(std::snprintf(
                text, size, "No loadable data: no PT_LOAD of the %llu program header%s has file bytes !",
                value, fault.value == 1 ? "" : "s"));
        }
        break;
    }
}
