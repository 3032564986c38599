// Replacing a file whole, on a POSIX host.
#include "file_replace.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TEMPORARY_NAME_TRIES = 100;
constexpr std::size_t TEMPORARY_NAME_SIZE = 64;  // ".romcast-PID-TRY.tmp" and its terminator
constexpr int LINK_HOPS = 40;                    // links followed before giving up, as Linux does
constexpr mode_t MODE_BITS = 07777;              // permissions with the set-ID and sticky bits

#ifdef O_PATH
constexpr int DIRECTORY_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The file to write: a name within an open directory, reached by following the
// output path's symbolic links, and what lies there now. Directories are opened so
// that every call works on names within them, however long the path leading there.
struct Target {
    int directory;     // open directory that holds the file, or -1
    const char* name;  // the file's last component, within the output path or linkText
    char* linkText;    // heap copy of the last symbolic link followed, or null
    bool exists;       // something other than a symbolic link lies at name
    struct stat info;  // what lies there, when it exists
    int descriptor;    // the process's open descriptor that name stands for, or -1
};

// The directories whose entries are the process's own open descriptors, named by
// their numbers: on Linux /dev/fd and /dev/stdout lead into /proc/self/fd, whose
// entries are links that name no file a path could reach (a pipe reads as
// "pipe:[N]"), and a regular file's link leads to a name that another file may have
// taken since the descriptor was opened.
constexpr const char* DESCRIPTOR_DIRECTORIES[] = {"/proc/self/fd", "/dev/fd"};

// Whether target.name within target.directory is one of the process's open
// descriptors; sets target->descriptor to its number.
bool namesDescriptor(Target* target)
{
    const char* digit = target->name;
    int number = 0;
    for (; *digit >= '0' && *digit <= '9' && number < 100000000; ++digit) {
        number = number * 10 + (*digit - '0');
    }
    struct stat directory {};
    if (digit == target->name || *digit != '\0' || fstat(target->directory, &directory) != 0) {
        return false;
    }
    for (const char* path : DESCRIPTOR_DIRECTORIES) {
        struct stat own {};
        if (stat(path, &own) == 0 && own.st_dev == directory.st_dev && own.st_ino == directory.st_ino) {
            target->descriptor = number;
            return true;
        }
    }
    return false;
}

// Opens the directory part of path in place of target->directory, relative to the
// open directory base when path is relative, and points target->name at path's last
// component.
int openDirectoryOf(MemoryAllocator allocate, int base, const char* path, Target* target)
{
    int previous = target->directory;
    target->directory = -1;
    const char* slash = std::strrchr(path, '/');
    target->name = slash == nullptr ? path : slash + 1;
    char* copy = nullptr;
    if (slash != nullptr) {
        auto length = static_cast<std::size_t>(slash - path) + 1;  // the slash kept, so "/" stays the root
        copy = static_cast<char*>(allocate(length + 1));
        if (copy != nullptr) {
            std::memcpy(copy, path, length);
            copy[length] = '\0';
        }
    }
    if (slash == nullptr || copy != nullptr) {
        target->directory = openat(base, copy != nullptr ? copy : ".", DIRECTORY_FLAGS);
    }
    int error = copy != nullptr || slash == nullptr ? errno : ENOMEM;  // the reason of a failure
    std::free(copy);
    if (previous >= 0) {
        static_cast<void>(close(previous));  // opened only to name files within it
    }
    errno = error;
    return target->directory < 0 ? RESULT_WRITE_FAILED : RESULT_OK;
}

// Reads the symbolic link at target.name into a new heap string in *text. size is
// the link's size as lstat tells it, 0 where the file system tells none.
int readLink(MemoryAllocator allocate, const Target& target, off_t size, char** text)
{
    auto room = static_cast<std::size_t>(size > 0 ? size : PATH_MAX) + 1;
    *text = static_cast<char*>(allocate(room));
    if (*text == nullptr) {
        errno = ENOMEM;
        return RESULT_WRITE_FAILED;
    }
    ssize_t length = readlinkat(target.directory, target.name, *text, room);
    if (length < 0) {
        return RESULT_WRITE_FAILED;
    }
    if (static_cast<std::size_t>(length) >= room) {  // grew since lstat
        errno = ENAMETOOLONG;
        return RESULT_WRITE_FAILED;
    }
    (*text)[length] = '\0';
    return RESULT_OK;
}

// Finds the file that writing to outputPath would write, as opening it would: each
// symbolic link is followed, a relative one from the link's own directory, also when
// its target does not exist yet. A chain longer than LINK_HOPS fails as a loop. The
// walk stops at a name that stands for one of the process's open descriptors.
int findTarget(MemoryAllocator allocate, const char* outputPath, Target* target)
{
    int rc = openDirectoryOf(allocate, AT_FDCWD, outputPath, target);
    for (int hops = 0; rc == RESULT_OK; ++hops) {
        if (namesDescriptor(target)) {
            return RESULT_OK;
        }
        if (*target->name == '\0') {
            errno = EISDIR;
            return RESULT_WRITE_FAILED;  // the path ends in a slash: it names a directory
        }
        if (fstatat(target->directory, target->name, &target->info, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? RESULT_OK : RESULT_WRITE_FAILED;
        }
        if (!S_ISLNK(target->info.st_mode)) {
            target->exists = true;
            return RESULT_OK;
        }
        if (hops == LINK_HOPS) {
            errno = ELOOP;
            return RESULT_WRITE_FAILED;
        }
        char* text = nullptr;
        rc = readLink(allocate, *target, target->info.st_size, &text);
        if (rc == RESULT_OK) {
            rc = openDirectoryOf(allocate, target->directory, text, target);
        }
        std::free(target->linkText);  // held the name just followed; text holds the new one
        target->linkText = text;
    }
    return rc;
}

// Whether the target could be opened for writing, as the file itself would be: a
// directory or a file the user may not write is refused before anything is created,
// with errno telling why.
bool targetOpenable(const Target& target)
{
    if (target.exists && S_ISDIR(target.info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return !target.exists || faccessat(target.directory, target.name, W_OK, 0) == 0;
}

// Opens a new file beside the target in *stream and leaves its name in temporary.
// A new output is created with mode 0666, so the umask and any default
// permissions of the directory apply as to any new file; a replacement starts with
// at most the permissions of the file it replaces, until keepOwnerAndMode.
int openTemporary(const Target& target, char (&temporary)[TEMPORARY_NAME_SIZE], std::FILE** stream)
{
    mode_t mode = target.exists ? target.info.st_mode & 0777 : 0666;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TEMPORARY_NAME_TRIES; ++attempt) {
        int length = std::snprintf(temporary, sizeof temporary, ".romcast-%lu-%d.tmp",
                                   static_cast<unsigned long>(getpid()), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary) {
            return RESULT_WRITE_FAILED;
        }
        fd = openat(target.directory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) {
            return RESULT_WRITE_FAILED;
        }
    }
    if (fd < 0) {
        return RESULT_WRITE_FAILED;
    }
    *stream = fdopen(fd, "wb");
    if (*stream == nullptr) {
        int error = errno;
        static_cast<void>(close(fd));  // nothing was written; the failure is reported
        static_cast<void>(unlinkat(target.directory, temporary, 0));
        errno = error;
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

// Gives the open new file the owner, group and mode of the file it replaces, as far
// as the process may: only root may give a file away, and another user only a group
// of their own. What cannot be kept stays as for any new file, silently, and a
// set-ID bit is dropped with the owner or group it names. Fails when the mode
// cannot be set, as the file would then be open to others than before.
int keepOwnerAndMode(int fd, const struct stat& previous)
{
    struct stat created {};
    if (fstat(fd, &created) != 0) {
        return RESULT_WRITE_FAILED;
    }
    bool ownerKept = created.st_uid == previous.st_uid;
    bool groupKept = created.st_gid == previous.st_gid;
    if (!ownerKept && fchown(fd, previous.st_uid, previous.st_gid) == 0) {
        ownerKept = true;
        groupKept = true;
    }
    if (!groupKept && fchown(fd, static_cast<uid_t>(-1), previous.st_gid) == 0) {
        groupKept = true;
    }
    // Set after the owner: changing the owner may clear the set-ID bits.
    mode_t mode = previous.st_mode & MODE_BITS;
    if (!ownerKept) {
        mode &= ~static_cast<mode_t>(S_ISUID);
    }
    if (!groupKept) {
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
    if ((created.st_mode & MODE_BITS) == mode) {
        return RESULT_OK;
    }
    return fchmod(fd, mode) == 0 ? RESULT_OK : RESULT_WRITE_FAILED;
}

// One output on its way: the file it replaces, and the temporary file that will
// take its place, or none when the file is written directly.
struct Replacement {
    Target target;
    char temporary[TEMPORARY_NAME_SIZE];  // "" once renamed, or when written directly
};

// "Can't open file" for an output, and with explain the system's reason, the errno
// value saved where the failure happened.
void reportOpenFault(const Messages& messages, const char* path, int error)
{
    static_cast<void>(std::fprintf(messages.stream, "\nCan't open file %s\n", path));
    if (messages.explain && error != 0) {
        static_cast<void>(std::fprintf(messages.stream, "Reason: %s\n", std::strerror(error)));
    }
}

// Opens the stream for one output: through a duplicate of the descriptor that the
// path names, which shares its offset and its append mode; directly into an
// existing file that is not a regular one (a FIFO or a device has no contents to
// keep and is not replaced); or else into a new temporary file beside the target,
// which gets the target's owner and mode before any byte is written.
int openReplacement(MemoryAllocator allocate, const char* path, Replacement* output, std::FILE** stream,
                    const Messages& messages)
{
    if (findTarget(allocate, path, &output->target) != RESULT_OK) {
        reportOpenFault(messages, path, errno);
        return RESULT_WRITE_FAILED;
    }
    const Target& target = output->target;
    int error = 0;
    bool direct = target.exists && !S_ISREG(target.info.st_mode) && !S_ISDIR(target.info.st_mode);
    if (target.descriptor >= 0 || direct) {
        int fd = target.descriptor >= 0
                     ? fcntl(target.descriptor, F_DUPFD_CLOEXEC, 0)
                     : openat(target.directory, target.name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            *stream = fdopen(fd, "wb");
            if (*stream == nullptr) {
                error = errno;
                static_cast<void>(close(fd));  // nothing was written; the failure is reported
            }
        } else {
            error = errno;
        }
    } else if (!targetOpenable(target) || openTemporary(target, output->temporary, stream) != RESULT_OK) {
        error = errno;
    }
    if (*stream == nullptr) {
        reportOpenFault(messages, path, error);
        return RESULT_WRITE_FAILED;
    }
    // A file that cannot take the owner and mode gets no byte and is removed.
    if (output->temporary[0] != '\0' && target.exists &&
        keepOwnerAndMode(fileno(*stream), target.info) != RESULT_OK) {
        reportWriteFault(messages, path, errno);
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

}  // namespace

OutputKind outputKind(const char* path, int* descriptor)
{
    *descriptor = -1;
    Target target{-1, nullptr, nullptr, false, {}, -1};
    bool found = findTarget(std::malloc, path, &target) == RESULT_OK && target.descriptor >= 0;
    if (target.directory >= 0) {
        static_cast<void>(close(target.directory));  // opened only to name files within it
    }
    std::free(target.linkText);
    if (found) {
        *descriptor = target.descriptor;
        return OUTPUT_DESCRIPTOR;
    }
    struct stat info {};
    if (stat(path, &info) != 0) {
        return OUTPUT_FILE;
    }
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        return OUTPUT_FIFO;
    }
    return S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? OUTPUT_DEVICE : OUTPUT_FILE;
}

bool sharedDescriptorFile(int descriptor, int other)
{
    struct stat first {};
    struct stat second {};
    return fstat(descriptor, &first) == 0 && fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino && isatty(descriptor) == 0;
}

void reserveFileSpace(std::FILE* stream, std::uint64_t size)
{
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    // A FIFO or a device written directly has no blocks to reserve. The file keeps
    // the size of what is written, should that be less.
    // A descriptor written as it is may stand anywhere in its file.
    struct stat info {};
    int fd = fileno(stream);
    off_t at = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
    if (size > 0 && at >= 0 && size <= static_cast<std::uint64_t>(INT64_MAX - at)) {
        static_cast<void>(fallocate(fd, FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(size)));
    }
#else
    static_cast<void>(stream);
    static_cast<void>(size);
#endif
}

int replaceFiles(MemoryAllocator allocate, std::FILE** streams, const char* const* paths, std::size_t count,
                 OutputFiller fill, const void* contents, const Messages& messages)
{
    Replacement outputs[MAX_OUTPUTS];
    std::size_t opened = 0;
    int rc = RESULT_OK;
    for (; opened < count && rc == RESULT_OK; ++opened) {
        outputs[opened].target = Target{-1, nullptr, nullptr, false, {}, -1};
        outputs[opened].temporary[0] = '\0';
        rc = openReplacement(allocate, paths[opened], &outputs[opened], &streams[opened], messages);
    }
    bool filled = rc == RESULT_OK && fill(streams, count, contents);
    int fillError = errno;
    rc = closeOutputs(streams, opened, paths, filled, fillError, rc, messages);
    for (std::size_t k = 0; k < opened && rc == RESULT_OK; ++k) {
        Replacement& output = outputs[k];
        if (output.temporary[0] != '\0') {
            if (renameat(output.target.directory, output.temporary, output.target.directory,
                         output.target.name) != 0) {
                reportWriteFault(messages, paths[k], errno);
                rc = RESULT_WRITE_FAILED;
            } else {
                output.temporary[0] = '\0';
            }
        }
    }
    for (std::size_t k = 0; k < opened; ++k) {
        Replacement& output = outputs[k];
        if (output.temporary[0] != '\0') {
            static_cast<void>(unlinkat(output.target.directory, output.temporary, 0));
        }
        if (output.target.directory >= 0) {
            static_cast<void>(close(output.target.directory));  // opened only to name files within it
        }
        std::free(output.target.linkText);
    }
    return rc;
}
