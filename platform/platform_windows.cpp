// The Windows side of the platform layer. Every name reaches the system
// through its "A" functions and the C runtime, in the process's ANSI code
// page: the manifest makes that UTF-8, so that the arguments, the files
// opened and the files made all agree on names outside the old code pages.
#include "platform/platform.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

// The start-up code expands wildcard patterns among the arguments into the
// names of the matching files, and passes a pattern that matches nothing as
// it stands: "Tessaly.exe *.png" dithers every PNG of the folder.
extern "C" {
int _dowildcard = -1;
}

namespace {

UINT console_code_page_before = 0;

void restore_console_code_page()
{
    SetConsoleOutputCP(console_code_page_before);
}

}  // namespace

void platform_set_working_directory(const char *argument_0)
{
    // Started by drag and drop or by its full path, the program works in its
    // own folder, where palette.act lies; started by its bare name from a
    // shell, it stays where the shell is.
    const std::string folder = working_directory_of(argument_0);
    if (!folder.empty())
        SetCurrentDirectoryA(folder.c_str());
}

void platform_prepare_console()
{
    // Without a console (output to a file or a pipe) the bytes go out as they
    // are and nothing needs changing.
    console_code_page_before = GetConsoleOutputCP();
    if (console_code_page_before == 0 || console_code_page_before == CP_UTF8)
        return;
    // The console belongs to the shell too: it gets its code page back.
    if (SetConsoleOutputCP(CP_UTF8))
        std::atexit(restore_console_code_page);
}

void platform_pause()
{
    std::fflush(stdout);
    std::system("pause");
}

bool platform_path_exists(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return true;
    // A name that cannot be looked at (no access, a device) is no free name.
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

int platform_create_new_file(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder of that name gives "access denied" rather than "exists".
        errno = (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || platform_path_exists(path)) ? EEXIST
                                                                                                           : EACCES;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        DeleteFileA(path);
        errno = EMFILE;
    }
    return fd;
}

bool platform_write_all(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        const int written = _write(fd, bytes, chunk);
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}
