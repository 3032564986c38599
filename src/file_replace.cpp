// Replacing a file whole, on a POSIX host.
#include "file_replace.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TEMPORARY_NAME_TRIES = 100;
constexpr std::size_t TEMPORARY_NAME_SIZE = 64;  // ".romcast-PID-TRY.tmp" and its terminator

#ifdef O_PATH
constexpr int DIRECTORY_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The directory that will hold the file, opened so that the temporary file and the
// rename work on names within it, however long the path leading there.
struct TargetDirectory {
    int fd;            // open directory, or -1
    const char* name;  // the target's last component, within the target path
};

int openTargetDirectory(const ConversionState& state, const char* target, TargetDirectory* directory)
{
    const char* slash = std::strrchr(target, '/');
    directory->name = slash == nullptr ? target : slash + 1;
    char* copy = nullptr;
    if (slash != nullptr) {
        auto length = static_cast<std::size_t>(slash - target) + 1;  // the slash kept, so "/" stays the root
        copy = static_cast<char*>(state.allocate(length + 1));
        if (copy == nullptr) {
            return RESULT_WRITE_FAILED;
        }
        std::memcpy(copy, target, length);
        copy[length] = '\0';
    }
    directory->fd = open(copy != nullptr ? copy : ".", DIRECTORY_FLAGS);
    std::free(copy);
    return directory->fd < 0 ? RESULT_WRITE_FAILED : RESULT_OK;
}

// Whether the target could be opened for writing, as the file itself would be: a
// name the host refuses (too long, say), a directory or a file the user may not
// write is refused before anything is created.
bool targetOpenable(const TargetDirectory& directory)
{
    struct stat info {};
    if (fstatat(directory.fd, directory.name, &info, 0) != 0) {
        return errno == ENOENT;
    }
    return !S_ISDIR(info.st_mode) && faccessat(directory.fd, directory.name, W_OK, 0) == 0;
}

// Opens a new file beside the target in state.output and leaves its name in
// temporary. Created exclusively with mode 0666, so the umask and any default
// permissions of the directory apply as to any new file.
int openTemporary(ConversionState& state, const TargetDirectory& directory,
                  char (&temporary)[TEMPORARY_NAME_SIZE])
{
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TEMPORARY_NAME_TRIES; ++attempt) {
        int length = std::snprintf(temporary, sizeof temporary, ".romcast-%lu-%d.tmp",
                                   static_cast<unsigned long>(getpid()), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary) {
            return RESULT_WRITE_FAILED;
        }
        fd = openat(directory.fd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return RESULT_WRITE_FAILED;
        }
    }
    if (fd < 0) {
        return RESULT_WRITE_FAILED;
    }
    state.output = fdopen(fd, "wb");
    if (state.output == nullptr) {
        static_cast<void>(close(fd));  // nothing was written; the failure is reported
        static_cast<void>(unlinkat(directory.fd, temporary, 0));
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

}  // namespace

int replaceFile(ConversionState& state, const char* outputPath, const unsigned char* bytes,
                std::size_t length)
{
    // Replacing a symbolic link would cut it off from its file: write the file it
    // points to instead, as opening the link for writing would.
    char* resolved = nullptr;
    struct stat info {};
    bool link = lstat(outputPath, &info) == 0 && S_ISLNK(info.st_mode);
    if (link) {
        resolved = realpath(outputPath, nullptr);
    }
    const char* target = resolved != nullptr ? resolved : outputPath;

    TargetDirectory directory{-1, nullptr};
    char temporary[TEMPORARY_NAME_SIZE];
    int rc = RESULT_WRITE_FAILED;
    if ((link && resolved == nullptr) || openTargetDirectory(state, target, &directory) != RESULT_OK ||
        !targetOpenable(directory) || openTemporary(state, directory, temporary) != RESULT_OK) {
        std::printf("\nCan't open file %s\n", outputPath);
    } else if (!writeAndClose(state, bytes, length) ||
               renameat(directory.fd, temporary, directory.fd, directory.name) != 0) {
        std::printf("\nCan't write file %s\n", outputPath);
        static_cast<void>(unlinkat(directory.fd, temporary, 0));
    } else {
        rc = RESULT_OK;
    }
    if (directory.fd >= 0) {
        static_cast<void>(close(directory.fd));  // opened only to name files within it
    }
    std::free(resolved);
    return rc;
}
