// Process entry: host setup, then one conversion on a state of its own.
#include <clocale>
#include <csignal>

#include "conversion_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
// The host's file functions read a path in its ANSI code page, which the user's
// locale need not share.
constexpr char PATH_LOCALE[] = ".ACP";

// Whether the ANSI code page is UTF-8, as the program's manifest asks (Windows 10
// version 1903 and later honour it): then the arguments, and every path that the
// program prints, are UTF-8.
bool namesInUtf8()
{
    return GetACP() == CP_UTF8;
}
#else
constexpr char PATH_LOCALE[] = "";  // the user's, from the environment
#endif

// Whether the path holds a byte outside ASCII. Every multibyte encoding a locale may
// have keeps ASCII bytes as characters of their own, so only such a path can split
// differently by locale; loading one is most of a small conversion's start-up.
bool needsPathLocale(const char* path)
{
#ifdef _WIN32
    // A UTF-8 path splits by bytes, in the C locale. ".ACP" would load the code page
    // of the user's locale instead (932 on a Japanese system), whose double-byte
    // characters can take in a backslash after a UTF-8 character.
    if (namesInUtf8()) {
        return false;
    }
#endif
    for (; *path != '\0'; ++path) {
        if (static_cast<unsigned char>(*path) >= 0x80) {
            return true;
        }
    }
    return false;
}

#ifdef _WIN32
// A console shows the bytes printed in its output code page, the OEM code page unless
// changed. Where names are UTF-8 the console is switched to UTF-8 for the run; in the
// C locale the C runtime hands the bytes on unchanged, so a redirected stream
// receives the same bytes either way. Returns the code page to restore, or 0.
UINT showConsoleInUtf8()
{
    DWORD mode = 0;
    UINT previous = GetConsoleOutputCP();
    if (!namesInUtf8() || previous == CP_UTF8 ||
        GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) == 0 || SetConsoleOutputCP(CP_UTF8) == 0) {
        return 0;
    }
    return previous;
}

// Gives the console back the code page that it had, once every message was shown.
void restoreConsole(UINT previous)
{
    if (previous != 0) {
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(SetConsoleOutputCP(previous));  // best effort, like all console output
    }
}
#endif

}  // namespace

int main(int argc, char* argv[])
{
    // Paths are split by characters of the multibyte encoding that names files;
    // where that locale is unavailable the C locale stays, and paths are split by bytes.
    // Any argument may be the input's path, before or after the options.
    for (int i = 1; i < argc; ++i) {
        if (needsPathLocale(argv[i])) {
            static_cast<void>(std::setlocale(LC_CTYPE, PATH_LOCALE));
            break;
        }
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
#ifdef _WIN32
    UINT consoleCodePage = showConsoleInUtf8();
#endif
    ConversionState state;
    int rc = runConverter(state, argc, argv);
#ifdef _WIN32
    restoreConsole(consoleCodePage);
#endif
    return rc;
}
