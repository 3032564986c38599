// Reading of an input: the host's reads, the block, the line ends and reads at offsets.
#include "line_reader.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr char END_OF_TEXT = 0x1A;  // ends the input like the end of the file

#ifdef _WIN32
int openFile(const char* path)
{
    return _open(path, _O_RDONLY | _O_BINARY);
}

// Line ends and 0x1A are handled here, so standard input is read as bytes too.
int duplicateStandardInput()
{
    int fd = _dup(0);
    if (fd >= 0 && _setmode(fd, _O_BINARY) == -1) {
        static_cast<void>(_close(fd));  // never read from; the failure is reported
        fd = NO_DESCRIPTOR;
    }
    return fd;
}

long readSome(int fd, char* bytes, std::size_t size)
{
    return _read(fd, bytes, static_cast<unsigned>(size));
}

int closeFile(int fd)
{
    return _close(fd);
}

// The size of an open regular file; 0 for anything else.
std::uint64_t regularFileSize(int fd)
{
    struct _stati64 info {};
    return _fstati64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG
               ? static_cast<std::uint64_t>(info.st_size)
               : 0;
}

// Reads size bytes at offset; the number read, or -1.
long long readAt(int fd, std::uint64_t offset, unsigned char* bytes, std::size_t size)
{
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        return -1;
    }
    return _read(fd, bytes, static_cast<unsigned>(size));
}
#else
int openFile(const char* path)
{
    return open(path, O_RDONLY | O_CLOEXEC);
}

int duplicateStandardInput()
{
    return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
}

long readSome(int fd, char* bytes, std::size_t size)
{
    ssize_t got = 0;
    do {
        got = read(fd, bytes, size);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

int closeFile(int fd)
{
    return close(fd);
}

// The size of an open regular file; 0 for anything else.
std::uint64_t regularFileSize(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// Reads size bytes at offset; the number read, or -1.
long long readAt(int fd, std::uint64_t offset, unsigned char* bytes, std::size_t size)
{
    ssize_t got = 0;
    do {
        got = pread(fd, bytes, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}
#endif

// Whether the descriptor is a regular file, which can be read at offsets.
bool regularFile(int fd)
{
#ifdef _WIN32
    struct _stati64 info {};
    return _fstati64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
#endif
}

// Reads once into the block, after the bytes not yet split, which move to its
// start. A read returns what the host has at hand, however little. The bytes read
// are searched for 0x1A only when findEndOfText is called.
int readInput(InputState& input)
{
    std::size_t kept = input.blockEnd - input.blockStart;
    std::memmove(input.inputBlock, input.inputBlock + input.blockStart, kept);
    input.searchedEnd = input.searchedEnd > input.blockStart ? input.searchedEnd - input.blockStart : 0;
    input.blockStart = 0;
    input.blockEnd = kept;

    char* fresh = input.inputBlock + kept;
    long got = readSome(input.descriptor, fresh, INPUT_BLOCK_SIZE - kept);
    if (got < 0) {
        input.error = errno;
        return LINE_INPUT_ERROR;
    }
    if (got == 0) {
        input.inputEnded = true;
        return RESULT_OK;
    }
    input.blockEnd += static_cast<std::size_t>(got);
    return RESULT_OK;
}

// Whether the block holds the next line whole: its line end, a full piece, or the
// rest of the input.
bool lineInBlock(const InputState& input)
{
    std::size_t available = input.blockEnd - input.blockStart;
    if (available >= MAX_PIECE || input.inputEnded) {
        return true;
    }
    const char* start = input.inputBlock + input.blockStart;
    return std::memchr(start, '\n', available) != nullptr || std::memchr(start, '\r', available) != nullptr;
}

// Skips the rest of a line end that began with a carriage return: further carriage
// returns and one optional line feed, however they fall across reads. A carriage
// return before a line feed is dropped as by a text stream, so the line end takes
// one character of the piece per carriage return; *overflow tells whether it took
// more than the piece had room for.
int finishLineEnd(InputState& input, bool* overflow)
{
    std::size_t extra = 0;
    while (input.carriageReturnPending) {
        if (input.blockStart == input.blockEnd && !input.inputEnded) {
            int rc = readInput(input);
            if (rc != RESULT_OK) {
                return rc;
            }
            continue;
        }
        while (input.blockStart < input.blockEnd && input.inputBlock[input.blockStart] == '\r') {
            ++input.blockStart;
            ++extra;
        }
        if (input.blockStart == input.blockEnd && !input.inputEnded) {
            continue;
        }
        if (input.blockStart < input.blockEnd && input.inputBlock[input.blockStart] == '\n') {
            ++input.blockStart;
        }
        input.carriageReturnPending = false;
    }
    *overflow = extra > input.lineEndRoom;
    return RESULT_OK;
}

}  // namespace

int openInput(InputState& input, const char* path)
{
    startInput(input, input.standardInput ? duplicateStandardInput() : openFile(path));
    input.error = input.descriptor == NO_DESCRIPTOR ? errno : 0;
    // The block takes as much of a file as it holds; a pipe's reads may be short.
    std::uint64_t size = input.descriptor == NO_DESCRIPTOR ? 0 : regularFileSize(input.descriptor);
    populateMemory(input.inputBlock,
                   size < INPUT_BLOCK_SIZE ? static_cast<std::size_t>(size) : INPUT_BLOCK_SIZE);
    input.fileSize = size;
    input.lineCount = 0;
    input.addressBase = 0;
    input.startType = 0;
    input.recordPage = nullptr;
    input.endRecordSeen = false;
    input.skippedAny = false;
    return input.descriptor == NO_DESCRIPTOR ? RESULT_READ_FAILED : RESULT_OK;
}

void startInput(InputState& input, int descriptor)
{
    input.descriptor = descriptor;
    input.blockStart = 0;
    input.blockEnd = 0;
    input.searchedEnd = 0;
    input.inputEnded = false;
    input.carriageReturnPending = false;
}

bool closeInput(InputState& input)
{
    std::free(input.whole);
    input.whole = nullptr;
    if (input.descriptor == NO_DESCRIPTOR) {
        return true;
    }
    bool closed = closeFile(input.descriptor) == 0;
    if (!closed && input.error == 0) {
        input.error = errno;
    }
    input.descriptor = NO_DESCRIPTOR;
    return closed;
}

int finishLineStart(InputState& input, bool* emptyPiece)
{
    // The line end takes carriage returns and a line feed, never a 0x1A, so the
    // search can wait until the line itself is looked for.
    int rc = finishLineEnd(input, emptyPiece);
    while (rc == RESULT_OK) {
        findEndOfText(input);
        if (lineInBlock(input)) {
            break;
        }
        rc = readInput(input);
    }
    return rc;
}

void findEndOfText(InputState& input)
{
    // Bytes before blockStart were taken as digits, colons and line ends.
    std::size_t from = input.searchedEnd > input.blockStart ? input.searchedEnd : input.blockStart;
    std::size_t to =
        input.blockEnd - input.blockStart > MAX_PIECE ? input.blockStart + MAX_PIECE : input.blockEnd;
    if (from >= to) {
        return;
    }
    const void* endOfText = std::memchr(input.inputBlock + from, END_OF_TEXT, to - from);
    if (endOfText != nullptr) {
        input.blockEnd = static_cast<std::size_t>(static_cast<const char*>(endOfText) - input.inputBlock);
        input.inputEnded = true;
        to = input.blockEnd;
    }
    input.searchedEnd = to;
}

int readRawBlock(InputState& input, std::size_t* got)
{
    input.blockStart = 0;
    input.blockEnd = 0;
    long count = readSome(input.descriptor, input.inputBlock, INPUT_BLOCK_SIZE);
    if (count < 0) {
        input.error = errno;
        *got = 0;
        return LINE_INPUT_ERROR;
    }
    *got = static_cast<std::size_t>(count);
    return RESULT_OK;
}

void beginLineFault(const InputState& input)
{
    if (input.nameInMessages) {
        static_cast<void>(std::fprintf(input.messages.stream, "\n%s: ", input.name));
    } else {
        static_cast<void>(std::fprintf(input.messages.stream, "\n"));
    }
}

void reportInputFault(const InputState& input, bool opening)
{
    static_cast<void>(
        std::fprintf(input.messages.stream, "\nCan't %s file %s\n", opening ? "open" : "read", input.name));
    if (input.messages.explain && input.error != 0) {
        static_cast<void>(std::fprintf(input.messages.stream, "Reason: %s\n", std::strerror(input.error)));
    }
}

// A line ends at a line feed or at a run of carriage returns with an optional line
// feed; a line longer than a piece (its line end included) is split into pieces of
// MAX_PIECE characters, each handled as a line of its own.
void copyLine(InputState& input)
{
    std::size_t available = input.blockEnd - input.blockStart;
    std::size_t length = peekLineLength(input);
    std::memcpy(input.lineBuffer, input.inputBlock + input.blockStart, length);
    input.lineLength = length;
    input.blockStart += length;
    takeLineEnd(input, length, available);
}

int peekInput(InputState& input, std::size_t count)
{
    // A line that ends first holds all that is needed.
    int rc = RESULT_OK;
    while (rc == RESULT_OK && input.blockEnd - input.blockStart < count && !lineInBlock(input)) {
        rc = readInput(input);
    }
    return rc;
}

std::size_t peekLineLength(const InputState& input)
{
    std::size_t available = input.blockEnd - input.blockStart;
    const char* start = input.inputBlock + input.blockStart;
    std::size_t scan = available < MAX_PIECE ? available : MAX_PIECE;
    const void* lineFeed = std::memchr(start, '\n', scan);
    std::size_t length =
        lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) : scan;
    const void* carriageReturn = std::memchr(start, '\r', length);
    return carriageReturn != nullptr
               ? static_cast<std::size_t>(static_cast<const char*>(carriageReturn) - start)
               : length;
}

int readInputAt(InputState& input, std::uint64_t offset, void* buffer, std::size_t size)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (input.whole != nullptr) {
        std::memcpy(bytes, input.whole + offset, size);  // the caller keeps within fileSize
        return RESULT_OK;
    }
    for (std::size_t done = 0; done < size;) {
        long long got = readAt(input.descriptor, offset + done, bytes + done, size - done);
        if (got <= 0) {
            input.error = got < 0 ? errno : EIO;  // a file that shrank while it was read
            return RESULT_READ_FAILED;
        }
        done += static_cast<std::size_t>(got);
    }
    return RESULT_OK;
}

int readWholeInput(InputState& input)
{
    if (input.whole != nullptr || regularFile(input.descriptor)) {
        return RESULT_OK;
    }
    // The block holds what was read so far; the room doubles as the bytes come.
    std::size_t room = INPUT_BLOCK_SIZE;
    std::size_t size = input.blockEnd - input.blockStart;
    auto* whole = static_cast<unsigned char*>(std::malloc(room));
    if (whole == nullptr) {
        input.error = ENOMEM;
        return RESULT_READ_FAILED;
    }
    std::memcpy(whole, input.inputBlock + input.blockStart, size);
    for (;;) {
        if (size == room) {
            auto* larger =
                room <= SIZE_MAX / 2 ? static_cast<unsigned char*>(std::realloc(whole, 2 * room)) : nullptr;
            if (larger == nullptr) {
                std::free(whole);
                input.error = ENOMEM;
                return RESULT_READ_FAILED;
            }
            whole = larger;
            room *= 2;
        }
        long got = readSome(input.descriptor, reinterpret_cast<char*>(whole) + size, room - size);
        if (got < 0) {
            input.error = errno;
            std::free(whole);
            return RESULT_READ_FAILED;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    input.whole = whole;
    input.fileSize = size;
    return RESULT_OK;
}
