// Replacing a file whole, on a POSIX host.
#include "file_replace.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TEMPORARY_NAME_TRIES = 100;
constexpr std::size_t TEMPORARY_NAME_ROOM = 64;  // ".romcast-PID-TRY.tmp" and its terminator

// A file that exists but could not be opened for writing is refused before anything
// is created: a directory, or a file the user may not write.
bool targetRefused(const char* target)
{
    struct stat info {};
    if (stat(target, &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) || access(target, W_OK) != 0;
}

// Opens a new file beside the target in state.output. Created exclusively with mode
// 0666, so the host's umask and default permissions apply as to any new file. On
// success *temporary is a heap string the caller frees and removes.
int openTemporary(ConversionState& state, const char* target, char** temporary)
{
    const char* slash = std::strrchr(target, '/');
    std::size_t directory = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
    auto* name = static_cast<char*>(state.allocate(directory + TEMPORARY_NAME_ROOM));
    if (name == nullptr) {
        return RESULT_WRITE_FAILED;
    }
    std::memcpy(name, target, directory);

    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TEMPORARY_NAME_TRIES; ++attempt) {
        int length = std::snprintf(name + directory, TEMPORARY_NAME_ROOM, ".romcast-%lu-%d.tmp",
                                   static_cast<unsigned long>(getpid()), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= TEMPORARY_NAME_ROOM) {
            break;
        }
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd >= 0) {
        state.output = fdopen(fd, "wb");
        if (state.output == nullptr) {
            static_cast<void>(close(fd));  // nothing was written; the failure is reported
            static_cast<void>(unlink(name));
        }
    }
    if (state.output == nullptr) {
        std::free(name);
        return RESULT_WRITE_FAILED;
    }
    *temporary = name;
    return RESULT_OK;
}

// Writes, flushes and closes state.output; true when every step succeeded.
bool writeAndClose(ConversionState& state, const unsigned char* bytes, std::size_t length)
{
    bool written = std::fwrite(bytes, 1, length, state.output) == length;
    bool closed = std::fclose(state.output) == 0;  // flushes, and reports a failed flush
    state.output = nullptr;
    return written && closed;
}

}  // namespace

int replaceFile(ConversionState& state, const char* outputPath, const unsigned char* bytes,
                std::size_t length)
{
    // Replacing a symbolic link would cut it off from its file: write the file it
    // points to instead, as opening the link for writing would.
    char* resolved = nullptr;
    struct stat info {};
    if (lstat(outputPath, &info) == 0 && S_ISLNK(info.st_mode)) {
        resolved = realpath(outputPath, nullptr);
    }
    const char* target = resolved != nullptr ? resolved : outputPath;

    char* temporary = nullptr;
    int rc = RESULT_WRITE_FAILED;
    if ((S_ISLNK(info.st_mode) && resolved == nullptr) || targetRefused(target) ||
        openTemporary(state, target, &temporary) != RESULT_OK) {
        std::printf("\nCan't open file %s\n", outputPath);
    } else if (!writeAndClose(state, bytes, length) || std::rename(temporary, target) != 0) {
        std::printf("\nCan't write file %s\n", outputPath);
        static_cast<void>(unlink(temporary));
    } else {
        rc = RESULT_OK;
    }
    std::free(temporary);
    std::free(resolved);
    return rc;
}
