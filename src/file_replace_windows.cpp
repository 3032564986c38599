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

int splitFullPath(MemoryAllocator allocate, const char* path, TargetPath* target)
{
    target->full = nullptr;
    DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);  // terminator included
    if (size == 0) {
        return RESULT_WRITE_FAILED;
    }
    target->full = static_cast<char*>(allocate(size));
    if (target->full == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return RESULT_WRITE_FAILED;
    }
    char* name = nullptr;
    if (GetFullPathNameA(path, size, target->full, &name) >= size || name == nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return RESULT_WRITE_FAILED;  // no name: the path ends in a separator
    }
    target->stem = static_cast<std::size_t>(name - target->full);
    return RESULT_OK;
}

// The full path of the file to replace. Replacing a symbolic link would cut it off
// from its file: an existing target is followed to the file it leads to, as opening
// it for writing would.
int resolveTarget(MemoryAllocator allocate, const char* outputPath, TargetPath* target)
{
    int rc = splitFullPath(allocate, outputPath, target);
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
    char* finalPath = size == 1 ? nullptr : static_cast<char*>(allocate(size));
    rc = RESULT_WRITE_FAILED;
    if (finalPath != nullptr &&
        GetFinalPathNameByHandleA(file, finalPath, size, FILE_NAME_NORMALIZED) < size) {
        std::free(target->full);
        rc = splitFullPath(allocate, finalPath, target);
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
        SetLastError(ERROR_ACCESS_DENIED);  // what opening it for writing gives
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

// Opens a new file beside the target in *stream and leaves its full path in
// *temporary, a heap string the caller frees, on failure too. Created exclusively;
// it gets the permissions that the directory gives any new file.
int openTemporary(MemoryAllocator allocate, const TargetPath& target, char** temporary, std::FILE** stream)
{
    std::size_t size = target.stem + TEMPORARY_NAME_SIZE;
    *temporary = static_cast<char*>(allocate(size));
    if (*temporary == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
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
        *stream = _fdopen(fd, "wb");
        if (*stream == nullptr) {
            static_cast<void>(_close(fd));
        }
    }
    if (*stream == nullptr) {
        static_cast<void>(DeleteFileA(*temporary));
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);  // the C runtime had no descriptor or stream left
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

// A device or a pipe at the output (NUL, COM1, \\.\pipe\name) cannot have a file
// renamed over it, and is written directly, as opening it for writing would.
// Returns true with *stream open on it; false, holding nothing, for a file, a
// directory or nothing at all.
bool openDevice(const char* outputPath, std::FILE** stream)
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
    *stream = _fdopen(fd, "wb");
    if (*stream == nullptr) {
        static_cast<void>(_close(fd));  // the descriptor owned the handle
        return false;
    }
    return true;
}

// One output on its way: the file it replaces, and the temporary file that will
// take its place, or none when the output is a device written directly.
struct Replacement {
    TargetPath target;
    char* temporary;  // heap string, freed once renamed or removed; null when written directly
    bool renamed;
};

// "Can't open file" or "Can't write file" (`what`) for an output, and with explain
// the system's reason for the code of the Win32 call that failed, as the system
// words it.
void reportSystemFault(const Messages& messages, const char* what, const char* path, DWORD error)
{
    static_cast<void>(std::fprintf(messages.stream, "\nCan't %s file %s\n", what, path));
    if (!messages.explain || error == 0) {
        return;
    }
    char reason[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, reason, sizeof reason, nullptr);
    while (length > 0 &&
           (reason[length - 1] == '\n' || reason[length - 1] == '\r' || reason[length - 1] == ' ')) {
        --length;  // the system's text ends in a line end of its own
    }
    if (length == 0) {
        static_cast<void>(
            std::fprintf(messages.stream, "Reason: Windows error %lu\n", static_cast<unsigned long>(error)));
    } else {
        static_cast<void>(std::fprintf(messages.stream, "Reason: %.*s\n", static_cast<int>(length), reason));
    }
}

// Opens the stream for one output: directly into a device or a pipe, or else into
// a new temporary file beside the target.
int openReplacement(MemoryAllocator allocate, const char* path, Replacement* output, std::FILE** stream,
                    const Messages& messages)
{
    if (openDevice(path, stream)) {
        return RESULT_OK;
    }
    if (resolveTarget(allocate, path, &output->target) != RESULT_OK || !targetOpenable(output->target) ||
        openTemporary(allocate, output->target, &output->temporary, stream) != RESULT_OK) {
        reportSystemFault(messages, "open", path, GetLastError());
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

}  // namespace

// Windows has no names for a process's descriptors.
OutputKind outputKind(const char* path, int* descriptor)
{
    *descriptor = -1;
    // The host's path parser turns a device's name into its path in the device
    // namespace, in any directory and with any extension: "NUL" gives "\\.\NUL".
    DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);  // terminator included
    char* full = size == 0 ? nullptr : static_cast<char*>(std::malloc(size));
    OutputKind kind = OUTPUT_FILE;
    if (full != nullptr && GetFullPathNameA(path, size, full, nullptr) < size &&
        std::strncmp(full, "\\\\.\\", 4) == 0) {
        kind = _strnicmp(full + 4, "pipe\\", 5) == 0 ? OUTPUT_FIFO : OUTPUT_DEVICE;
    }
    std::free(full);
    return kind;
}

bool sharedDescriptorFile(int /*descriptor*/, int /*other*/)
{
    return false;  // outputKind never names a descriptor here
}

// NTFS allocates a file's clusters as it is written, and a rename writes nothing back.
void reserveFileSpace(std::FILE* /*stream*/, std::uint64_t /*size*/) {}

int replaceFiles(MemoryAllocator allocate, std::FILE** streams, const char* const* paths, std::size_t count,
                 OutputFiller fill, const void* contents, const Messages& messages)
{
    Replacement outputs[MAX_OUTPUTS];
    std::size_t opened = 0;
    int rc = RESULT_OK;
    for (; opened < count && rc == RESULT_OK; ++opened) {
        outputs[opened] = Replacement{{nullptr, 0}, nullptr, false};
        rc = openReplacement(allocate, paths[opened], &outputs[opened], &streams[opened], messages);
    }
    bool filled = rc == RESULT_OK && fill(streams, count, contents);
    int fillError = errno;
    rc = closeOutputs(streams, opened, paths, filled, fillError, rc, messages);
    for (std::size_t k = 0; k < opened && rc == RESULT_OK; ++k) {
        Replacement& output = outputs[k];
        if (output.temporary != nullptr) {
            if (MoveFileExA(output.temporary, output.target.full, MOVEFILE_REPLACE_EXISTING) == 0) {
                reportSystemFault(messages, "write", paths[k], GetLastError());
                rc = RESULT_WRITE_FAILED;
            } else {
                output.renamed = true;
            }
        }
    }
    for (std::size_t k = 0; k < opened; ++k) {
        Replacement& output = outputs[k];
        if (output.temporary != nullptr && !output.renamed) {
            static_cast<void>(DeleteFileA(output.temporary));
        }
        std::free(output.temporary);
        std::free(output.target.full);
    }
    return rc;
}
