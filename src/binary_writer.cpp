// Binary image writer: output path, trimming of the image, and the write.
#include "binary_writer.h"

#include <cstring>
#include <cwchar>

#include "file_replace.h"
#include "image_layout.h"

namespace {

constexpr char OUTPUT_EXTENSION[] = ".bin";

// Length of the path before its extension: the last "." that lies after the drive
// and the directory, or the whole path when there is none.
std::size_t stemLength(const char* path)
{
    std::size_t length = std::strlen(path);
    std::size_t extension = length;
    std::mbstate_t shift{};
    std::size_t character = 0;
    for (std::size_t i = 0; i < length; ++character) {
        std::size_t bytes = std::mbrlen(path + i, length - i, &shift);
        if (bytes == static_cast<std::size_t>(-1) || bytes == static_cast<std::size_t>(-2) || bytes == 0) {
            bytes = 1;  // not a character of this locale: taken as a byte of its own
            shift = std::mbstate_t{};
        }
        if (bytes == 1) {
            char c = path[i];
            bool drive = character == 1 && c == ':';
            if (drive || c == '/' || c == '\\') {
                extension = length;  // a dot before the directory's end starts no extension
            } else if (c == '.') {
                extension = i;
            }
        }
        i += bytes;
    }
    return extension;
}

// The saved length: the whole window when its size is fixed; else one past the
// last byte that is not 0xFF, so trailing 0xFF data is cut like fill, but never
// into a checksum and never below one byte. Then padded to whole words and parts.
std::uint64_t savedLength(const ConversionState& state, const Options& options)
{
    std::uint64_t length = state.image.windowSize;
    if (!options.fixedSize || options.trim) {
        length = dataEnd(state.image);
        if (length < state.keptLength) {
            length = state.keptLength;
        }
        if (length == 0) {
            length = 1;
        }
        length = alignedLength(state.image, length, options.align);
    }
    std::uint64_t unit = layoutUnit(options.swapWidth, options.splitCount, options.splitWidth);
    return (length + unit - 1) / unit * unit;
}

// What writeLayout writes: the image's first `length` bytes, laid out for the chips.
struct Layout {
    const MemoryImage* image;
    std::uint64_t length;  // a multiple of the layout's unit
    unsigned swapWidth;
    unsigned splitCount;
    unsigned splitWidth;
    unsigned char* swapped;  // PAGE_SIZE bytes for --swap, else null
    unsigned char* parts;    // PAGE_SIZE bytes for --split, else null
};

// Writes the layout in pieces that start at a page, a piece's part to each stream.
// A page is a multiple of every unit, so each piece splits evenly.
bool writeLayout(std::FILE* const* streams, std::size_t count, const void* contents)
{
    const auto& layout = *static_cast<const Layout*>(contents);
    std::uint64_t fileLength = layout.length / count;
    for (std::size_t k = 0; k < count; ++k) {
        reserveFileSpace(streams[k], fileLength);
    }
    for (std::uint64_t address = 0; address < layout.length;) {
        std::uint64_t chunk = layout.length - address;
        if (layout.swapped != nullptr || layout.parts != nullptr) {
            chunk = chunk < PAGE_SIZE ? chunk : PAGE_SIZE;  // the size of the scratch pages
        }
        const unsigned char* bytes = imageBytes(*layout.image, address, &chunk);
        auto length = static_cast<std::size_t>(chunk);
        address += chunk;
        if (layout.swapped != nullptr) {
            swapWords(bytes, length, layout.swapWidth, layout.swapped);
            bytes = layout.swapped;
        }
        if (layout.parts == nullptr) {
            if (std::fwrite(bytes, 1, length, streams[0]) != length) {
                return false;
            }
            continue;
        }
        splitUnits(bytes, length, layout.splitCount, layout.splitWidth, layout.parts);
        std::size_t partLength = length / count;
        for (std::size_t k = 0; k < count; ++k) {
            if (std::fwrite(layout.parts + k * partLength, 1, partLength, streams[k]) != partLength) {
                return false;
            }
        }
    }
    return true;
}

// Writes the image to the output path, or its parts to the parts' paths, with the
// scratch pages the layout needs. Returns RESULT_OK or RESULT_WRITE_FAILED, with a
// message printed.
int writeLayoutFiles(ConversionState& state, const Options& options, const char* outputPath)
{
    Layout layout{&state.image, state.address, options.swapWidth, options.splitCount, options.splitWidth,
                  nullptr,      nullptr};
    bool ready = true;
    if (options.swapWidth > 1) {
        layout.swapped = static_cast<unsigned char*>(state.allocate(PAGE_SIZE));
        ready = layout.swapped != nullptr;
    }
    if (options.splitCount > 1) {
        layout.parts = static_cast<unsigned char*>(state.allocate(PAGE_SIZE));
        ready = ready && layout.parts != nullptr;
    }
    int rc = RESULT_WRITE_FAILED;
    if (!ready) {
        static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
    } else {
        rc = writeOutputFiles(state, options, outputPath, writeLayout, &layout);
    }
    std::free(layout.swapped);
    std::free(layout.parts);
    return rc;
}

// A path with text put in at a point, in place of `skip` characters: a heap string,
// or null when no memory is left.
char* spliced(MemoryAllocator allocate, const char* path, std::size_t at, const char* text, std::size_t skip)
{
    std::size_t length = std::strlen(path);
    std::size_t inserted = std::strlen(text);
    std::size_t rest = length - at - skip;
    auto* result = static_cast<char*>(allocate(at + inserted + rest + 1));
    if (result != nullptr) {
        std::memcpy(result, path, at);
        std::memcpy(result + at, text, inserted);
        std::memcpy(result + at + inserted, path + at + skip, rest);
        result[at + inserted + rest] = '\0';
    }
    return result;
}

}  // namespace

char* composeOutputPath(MemoryAllocator allocate, const char* path)
{
    std::size_t stem = stemLength(path);
    return spliced(allocate, path, stem, OUTPUT_EXTENSION, std::strlen(path) - stem);
}

char* composePartPath(MemoryAllocator allocate, const char* outputPath, unsigned part)
{
    char number[16];
    static_cast<void>(std::snprintf(number, sizeof number, ".%u", part));
    return spliced(allocate, outputPath, stemLength(outputPath), number, 0);
}

int writeOutputFiles(ConversionState& state, const Options& options, const char* outputPath,
                     OutputFiller fill, const void* contents)
{
    char* partPaths[MAX_OUTPUTS] = {};
    const char* paths[MAX_OUTPUTS] = {outputPath};
    int rc = RESULT_OK;
    unsigned parts = options.splitCount;
    for (unsigned k = 0; k < parts && parts > 1; ++k) {
        partPaths[k] = composePartPath(state.allocate, outputPath, k);
        paths[k] = partPaths[k];
        if (partPaths[k] == nullptr) {
            static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
            rc = RESULT_WRITE_FAILED;
            break;
        }
    }
    if (rc == RESULT_OK) {
        rc = replaceFiles(state.allocate, state.output, paths, parts, fill, contents, state.messages);
    }
    if (rc == RESULT_OK && parts > 1) {
        // The report names the first and the last part.
        state.firstPart = partPaths[0];
        state.lastPart = partPaths[parts - 1];
        partPaths[0] = nullptr;
        partPaths[parts - 1] = nullptr;
    }
    for (char* partPath : partPaths) {
        std::free(partPath);
    }
    return rc;
}

int writeBinaryFile(ConversionState& state, const Options& options, const char* path)
{
    state.address = savedLength(state, options);
    char* derived = nullptr;
    if (options.outputPath == nullptr) {
        derived = composeOutputPath(state.allocate, path);
        if (derived == nullptr) {
            static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
            return RESULT_WRITE_FAILED;
        }
    }
    int rc = writeLayoutFiles(state, options, derived != nullptr ? derived : options.outputPath);
    std::free(derived);
    return rc;
}
