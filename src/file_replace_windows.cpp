// Replacing a file whole, on a Windows host.
#include "file_replace.h"

#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr int TEMPORARY_NAME_TRIES = 100;
constexpr std::size_t TEMPORARY_NAME_SIZE = 64;  // ".romcast-PID-TRY.tmp" and its terminator
constexpr DWORD SHARE_ALL =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;  // for handles that only ask

// The target as a full path, split where its last component begins. The host's
// own path parser does the split, so a double-byte character whose second byte has
// the value of a backslash is never taken for a separator, and "C:prog.bin" finds
// the current directory of drive C:.
struct TargetPath {
    char* full;        // heap string, or null
    std::size_t stem;  // length of the directory part of full, its last separator included
};

int splitFullPath(const ConversionState& state, const char* path, TargetPath* target)
{
    target->full = nullptr;
    DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);  // terminator included
    if (size == 0) {
        return RESULT_WRITE_FAILED;
    }
    target->full = static_cast<char*>(state.allocate(size));
    char* name = nullptr;
    if (target->full == nullptr || GetFullPathNameA(path, size, target->full, &name) >= size ||
        name == nullptr) {
        return RESULT_WRITE_FAILED;  // no name: the path ends in a separator
    }
    target->stem = static_cast<std::size_t>(name - target->full);
    return RESULT_OK;
}

// The full path of the file to replace. Replacing a symbolic link would cut it off
// from its file: an existing target is followed to the file it leads to, as opening
// it for writing would.
int resolveTarget(const ConversionState& state, const char* outputPath, TargetPath* target)
{
    int rc = splitFullPath(state, outputPath, target);
    if (rc != RESULT_OK) {
        return rc;
    }
    HANDLE file =
        CreateFileA(target->full, 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return RESULT_OK;  // nothing there yet, or nothing to follow; targetOpenable decides
    }
    // One byte more than the size asked for: wine 8 leaves the terminator out of it.
    DWORD size = GetFinalPathNameByHandleA(file, nullptr, 0, FILE_NAME_NORMALIZED) + 1;
    char* finalPath = size == 1 ? nullptr : static_cast<char*>(state.allocate(size));
    rc = RESULT_WRITE_FAILED;
    if (finalPath != nullptr &&
        GetFinalPathNameByHandleA(file, finalPath, size, FILE_NAME_NORMALIZED) < size) {
        std::free(target->full);
        rc = splitFullPath(state, finalPath, target);
    }
    static_cast<void>(CloseHandle(file));  // opened only to ask
    std::free(finalPath);
    return rc;
}

// Whether the target could be opened for writing, as the file itself would be: a
// directory, a read-only file, one the user may not write or one that another
// program holds open without sharing is refused before anything is created.
bool targetOpenable(const TargetPath& target)
{
    DWORD attributes = GetFileAttributesA(target.full);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return false;  // asked for itself: under wine, a root user's probe opens a read-only file
    }
    // Opening an existing file changes nothing in it.
    HANDLE probe = CreateFileA(target.full, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    static_cast<void>(CloseHandle(probe));  // opened only to ask
    return true;
}

// Opens a new file beside the target in state.output and leaves its full path in
// *temporary, a heap string the caller frees, on failure too. Created exclusively;
// it gets the permissions that the directory gives any new file.
int openTemporary(ConversionState& state, const TargetPath& target, char** temporary)
{
    std::size_t size = target.stem + TEMPORARY_NAME_SIZE;
    *temporary = static_cast<char*>(state.allocate(size));
    if (*temporary == nullptr) {
        return RESULT_WRITE_FAILED;
    }
    std::memcpy(*temporary, target.full, target.stem);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < TEMPORARY_NAME_TRIES; ++attempt) {
        int length = std::snprintf(*temporary + target.stem, TEMPORARY_NAME_SIZE, ".romcast-%lu-%d.tmp",
                                   static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= TEMPORARY_NAME_SIZE) {
            return RESULT_WRITE_FAILED;
        }
        file = CreateFileA(*temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return RESULT_WRITE_FAILED;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return RESULT_WRITE_FAILED;
    }
    // The handle passes to the descriptor and then to the stream, whose close
    // releases all three.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        static_cast<void>(CloseHandle(file));  // nothing was written; the failure is reported
    } else {
        state.output = _fdopen(fd, "wb");
        if (state.output == nullptr) {
            static_cast<void>(_close(fd));
        }
    }
    if (state.output == nullptr) {
        static_cast<void>(DeleteFileA(*temporary));
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

// A device or a pipe at the output (NUL, COM1, \\.\pipe\name) cannot have a file
// renamed over it, and is written directly, as opening it for writing would.
// Returns true with state.output open on it; false, holding nothing, for a file,
// a directory or nothing at all.
bool openDevice(ConversionState& state, const char* outputPath)
{
    HANDLE file = CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD type = GetFileType(file);
    int fd = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE
                 ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY)
                 : -1;
    if (fd < 0) {
        static_cast<void>(CloseHandle(file));  // a file on disk, opened only to ask
        return false;
    }
    state.output = _fdopen(fd, "wb");
    if (state.output == nullptr) {
        static_cast<void>(_close(fd));  // the descriptor owned the handle
        return false;
    }
    return true;
}

}  // namespace

int replaceFile(ConversionState& state, const char* outputPath, const unsigned char* bytes,
                std::size_t length)
{
    if (openDevice(state, outputPath)) {
        if (writeAndClose(state, bytes, length)) {
            return RESULT_OK;
        }
        std::printf("\nCan't write file %s\n", outputPath);
        return RESULT_WRITE_FAILED;
    }
    TargetPath target{nullptr, 0};
    char* temporary = nullptr;
    int rc = RESULT_WRITE_FAILED;
    if (resolveTarget(state, outputPath, &target) != RESULT_OK || !targetOpenable(target) ||
        openTemporary(state, target, &temporary) != RESULT_OK) {
        std::printf("\nCan't open file %s\n", outputPath);
    } else if (!writeAndClose(state, bytes, length) ||
               MoveFileExA(temporary, target.full, MOVEFILE_REPLACE_EXISTING) == 0) {
        std::printf("\nCan't write file %s\n", outputPath);
        static_cast<void>(DeleteFileA(temporary));
    } else {
        rc = RESULT_OK;
    }
    std::free(temporary);
    std::free(target.full);
    return rc;
}
