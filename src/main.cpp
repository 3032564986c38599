// Process entry: host setup, then one conversion on a state of its own.
#include <clocale>
#include <csignal>

#include "conversion_state.h"

namespace {

#ifdef _WIN32
// The host's file functions read a path in its ANSI code page, which the user's
// locale need not share.
constexpr char PATH_LOCALE[] = ".ACP";
#else
constexpr char PATH_LOCALE[] = "";  // the user's, from the environment
#endif

// Whether the path holds a byte outside ASCII. Every multibyte encoding a locale may
// have keeps ASCII bytes as characters of their own, so only such a path can split
// differently by locale; loading one is most of a small conversion's start-up.
bool needsPathLocale(const char* path)
{
    for (; *path != '\0'; ++path) {
        if (static_cast<unsigned char>(*path) >= 0x80) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Paths are split by characters of the multibyte encoding that names files;
    // where that locale is unavailable the C locale stays, and paths are split by bytes.
    if (argc > 1 && needsPathLocale(argv[1])) {
        static_cast<void>(std::setlocale(LC_CTYPE, PATH_LOCALE));
    }
#ifdef SIGXFSZ
    // Over a file-size limit a write must fail and be reported, not kill the
    // process and leave its temporary file behind.
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
#endif
#ifdef SIGPIPE
    // A console pipe closed early must not stop a conversion half-way.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
#endif
    ConversionState state;
    return runConverter(state, argc, argv);
}
