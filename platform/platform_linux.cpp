#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

std::string working_directory_of(const char *argument_0)
{
    std::string folder(argument_0);
    // Positions 0 and 1 are never looked at: they hold a drive letter and its
    // colon in the paths this cut was made for.
    for (size_t i = folder.size(); i >= 2; --i) {
        if (folder[i] == '\\') {
            folder.resize(i + 1);
            break;
        }
    }
    return folder;
}

void platform_set_working_directory(const char *argument_0)
{
    int ignored = chdir(working_directory_of(argument_0).c_str());
    (void)ignored;
}

std::string platform_executable_path()
{
    // readlink neither ends the name with a zero nor says whether it was cut,
    // so the buffer grows until the name fits with room to spare.
    for (size_t size = 256; size <= 65536; size *= 4) {
        std::string path(size, '\0');
        const ssize_t length = readlink("/proc/self/exe", &path[0], size);
        if (length < 0)
            return std::string();
        if (static_cast<size_t>(length) < size) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
    }
    return std::string();
}

void platform_pause()
{
    std::fputs("Press any key to continue . . .\n", stdout);
    std::fflush(stdout);

    termios saved;
    bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

bool platform_path_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

int platform_create_new_file(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

bool platform_write_all(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}
