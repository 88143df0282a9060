#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

void platform_set_working_directory(const char *argument_0)
{
    // Never the whole argument: a folder that happens to bear the program's
    // name would otherwise take the place of the user's.
    const std::string folder = working_directory_of(argument_0);
    if (folder.empty())
        return;
    int ignored = chdir(folder.c_str());
    (void)ignored;
}

void platform_prepare_console() {}

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
