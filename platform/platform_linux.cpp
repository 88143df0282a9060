#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <new>
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

bool platform_is_folder(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

platform_folder_state platform_check_folder(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? folder_missing : folder_read_only;
    if (!S_ISDIR(st.st_mode))
        return folder_missing;
    return access(path, W_OK | X_OK) == 0 ? folder_writable : folder_read_only;
}

// An output is an unnamed file (O_TMPFILE) that linkat names when it is
// complete: killed at any moment, even by SIGKILL, the process leaves nothing
// behind. Where the file system has no unnamed files, it is a hidden file
// linked to its final name and then removed; SIGINT, SIGTERM and SIGHUP
// remove it too.
struct platform_output {
    int fd;
    bool hidden;
};

namespace {

// The hidden name of the one output that has one, where a signal handler can
// reach it without allocating. It holds the process id, so no other process
// makes a file of that name while this one lives.
char hidden_name[8192 + 64];
std::atomic<bool> hidden_name_in_use{ false };
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads the flag");
unsigned hidden_name_count = 0;

const int removing_signals[] = { SIGINT, SIGTERM, SIGHUP };

// Only unlink and raise, both safe in a signal handler. SA_RESETHAND has put
// back the default action, which ends the process once the handler returns.
void remove_hidden_file_and_die(int signal_number)
{
    if (hidden_name_in_use.load())
        unlink(hidden_name);
    raise(signal_number);
}

void remove_hidden_file_on_signals()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action = {};
    action.sa_handler = remove_hidden_file_and_die;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal_number : removing_signals)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : removing_signals) {
        struct sigaction previous;
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

platform_output *new_output(int fd, bool hidden)
{
    platform_output *output = new (std::nothrow) platform_output{ fd, hidden };
    if (!output)
        close(fd);
    return output;
}

// The unnamed file is named through its entry in /proc, which a chroot may
// lack; then the hidden name serves.
bool linkable(int fd)
{
    char entry[64];
    std::snprintf(entry, sizeof entry, "/proc/self/fd/%d", fd);
    return access(entry, F_OK) == 0;
}

platform_output *begin_hidden(const std::string &folder)
{
    remove_hidden_file_on_signals();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int length = std::snprintf(hidden_name, sizeof hidden_name, "%s.tessaly-%ld-%u", folder.c_str(),
                                         static_cast<long>(getpid()), hidden_name_count++);
        if (length < 0 || static_cast<size_t>(length) >= sizeof hidden_name)
            return nullptr;
        // Set before the file exists, so that no moment passes in which a
        // signal could leave it behind.
        hidden_name_in_use = true;
        const int fd = open(hidden_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return new_output(fd, true);
        hidden_name_in_use = false;
        // Taken only by a leftover of a process long gone that had our id.
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

}  // namespace

platform_output *platform_output_begin(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const std::string folder = slash ? std::string(path, static_cast<size_t>(slash - path + 1)) : "";
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (linkable(fd))
            return new_output(fd, false);
        close(fd);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        // No file at all can be made there (no permission, no folder, no room).
        return nullptr;
    }
    return begin_hidden(folder);
}

bool platform_output_write(platform_output *output, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = write(output->fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool platform_output_finish(platform_output *output)
{
    // The unnamed file stays open until it is named. The hidden one is
    // closed here, where some file systems report that the data did not fit.
    if (!output->hidden)
        return true;
    const bool closed = close(output->fd) == 0;
    output->fd = -1;
    return closed;
}

platform_publish_result platform_output_publish(platform_output *output, const char *path)
{
    int result;
    if (output->hidden) {
        result = link(hidden_name, path);
    } else {
        char entry[64];
        std::snprintf(entry, sizeof entry, "/proc/self/fd/%d", output->fd);
        result = linkat(AT_FDCWD, entry, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
    }
    if (result == 0)
        return published;
    return errno == EEXIST ? name_taken : publish_failed;
}

void platform_output_end(platform_output *output)
{
    if (!output)
        return;
    if (output->fd >= 0)
        close(output->fd);
    if (output->hidden) {
        unlink(hidden_name);
        hidden_name_in_use = false;
    }
    delete output;
}

void platform_prefer_large_pages(void *start, size_t size)
{
    // The hint applies to whole large pages: the aligned part of the block.
    constexpr uintptr_t large_page = uintptr_t(1) << 21;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + large_page - 1) & ~(large_page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + size) & ~(large_page - 1);
    if (end > first)
        madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
}
