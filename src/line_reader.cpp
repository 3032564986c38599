// Text reading of the HEX input: the host's reads, the block and the line ends.
#include "line_reader.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
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
#endif

// Reads once into the block, after the bytes not yet split, which move to its
// start. A read returns what the host has at hand, however little.
int readInput(ConversionState& state)
{
    std::size_t kept = state.blockEnd - state.blockStart;
    std::memmove(state.inputBlock, state.inputBlock + state.blockStart, kept);
    state.blockStart = 0;
    state.blockEnd = kept;

    char* fresh = state.inputBlock + kept;
    long got = readSome(state.input, fresh, INPUT_BLOCK_SIZE - kept);
    if (got < 0) {
        return LINE_INPUT_ERROR;
    }
    if (got == 0) {
        state.inputEnded = true;
        return RESULT_OK;
    }
    const void* endOfText = std::memchr(fresh, END_OF_TEXT, static_cast<std::size_t>(got));
    if (endOfText != nullptr) {
        got = static_cast<const char*>(endOfText) - fresh;
        state.inputEnded = true;
    }
    state.blockEnd += static_cast<std::size_t>(got);
    return RESULT_OK;
}

// Whether the block holds the next line whole: its line end, a full piece, or the
// rest of the input.
bool lineInBlock(const ConversionState& state)
{
    std::size_t available = state.blockEnd - state.blockStart;
    if (available >= MAX_PIECE || state.inputEnded) {
        return true;
    }
    const char* start = state.inputBlock + state.blockStart;
    return std::memchr(start, '\n', available) != nullptr || std::memchr(start, '\r', available) != nullptr;
}

// Skips the rest of a line end that began with a carriage return: further carriage
// returns and one optional line feed, however they fall across reads. A carriage
// return before a line feed is dropped as by a text stream, so the line end takes
// one character of the piece per carriage return; *overflow tells whether it took
// more than the piece had room for.
int finishLineEnd(ConversionState& state, bool* overflow)
{
    std::size_t extra = 0;
    while (state.carriageReturnPending) {
        if (state.blockStart == state.blockEnd && !state.inputEnded) {
            int rc = readInput(state);
            if (rc != RESULT_OK) {
                return rc;
            }
            continue;
        }
        while (state.blockStart < state.blockEnd && state.inputBlock[state.blockStart] == '\r') {
            ++state.blockStart;
            ++extra;
        }
        if (state.blockStart == state.blockEnd && !state.inputEnded) {
            continue;
        }
        if (state.blockStart < state.blockEnd && state.inputBlock[state.blockStart] == '\n') {
            ++state.blockStart;
        }
        state.carriageReturnPending = false;
    }
    *overflow = extra > state.lineEndRoom;
    return RESULT_OK;
}

}  // namespace

int openInput(ConversionState& state, const char* path)
{
    startInput(state, state.standardInput ? duplicateStandardInput() : openFile(path));
    return state.input == NO_DESCRIPTOR ? RESULT_READ_FAILED : RESULT_OK;
}

void startInput(ConversionState& state, int input)
{
    state.input = input;
    state.blockStart = 0;
    state.blockEnd = 0;
    state.inputEnded = false;
    state.carriageReturnPending = false;
}

bool closeInput(ConversionState& state)
{
    if (state.input == NO_DESCRIPTOR) {
        return true;
    }
    bool closed = closeFile(state.input) == 0;
    state.input = NO_DESCRIPTOR;
    return closed;
}

int finishLineStart(ConversionState& state, bool* emptyPiece)
{
    int rc = finishLineEnd(state, emptyPiece);
    while (rc == RESULT_OK && !lineInBlock(state)) {
        rc = readInput(state);
    }
    return rc;
}

// A line ends at a line feed or at a run of carriage returns with an optional line
// feed; a line longer than a piece (its line end included) is split into pieces of
// MAX_PIECE characters, each handled as a line of its own.
void copyLine(ConversionState& state)
{
    std::size_t available = state.blockEnd - state.blockStart;
    const char* start = state.inputBlock + state.blockStart;
    std::size_t scan = available < MAX_PIECE ? available : MAX_PIECE;
    const void* lineFeed = std::memchr(start, '\n', scan);
    std::size_t length =
        lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) : scan;
    const void* carriageReturn = std::memchr(start, '\r', length);
    if (carriageReturn != nullptr) {
        length = static_cast<std::size_t>(static_cast<const char*>(carriageReturn) - start);
    }
    std::memcpy(state.lineBuffer, start, length);
    state.lineLength = length;
    state.blockStart += length;
    takeLineEnd(state, length, available);
}
