#include "tests/test_support.h"

#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

stdout_capture::stdout_capture()
{
    char name[] = "/tmp/tessaly-stdout-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    path_ = name;
    std::fflush(stdout);
    saved_fd_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string stdout_capture::finish()
{
    if (saved_fd_ >= 0) {
        std::fflush(stdout);
        dup2(saved_fd_, 1);
        close(saved_fd_);
        saved_fd_ = -1;
    }
    std::string text = read_file(path_);
    unlink(path_.c_str());
    return text;
}

stdout_capture::~stdout_capture() { finish(); }

temp_folder::temp_folder()
{
    char name[] = "/tmp/tessaly-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

temp_folder::~temp_folder()
{
    if (std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_folder(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// openat() calls whose flags hold any of the bits take the action; every
// other call goes through.
bool filter_openat(uint32_t flags, uint32_t action)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // the flags' low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, action),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = { static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter };
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

constexpr uint32_t unnamed_file = O_TMPFILE & ~O_DIRECTORY;

// In the child: everything the setup asks for, then the program.
[[noreturn]] void exec_tessaly(const std::vector<std::string> &arguments, const std::string &cwd,
                               const run_setup &setup, int out_fd, int err_fd)
{
    if (chdir(cwd.c_str()) != 0)
        _exit(126);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    // Root keeps its other powers, but permission bits bind it as they bind
    // any user: without these capabilities from exec on.
    if (setup.unprivileged && geteuid() == 0 &&
        (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 || prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
        _exit(125);
    const rlimit address_space = { setup.address_space_kb << 10, setup.address_space_kb << 10 };
    if (setup.address_space_kb && setrlimit(RLIMIT_AS, &address_space) != 0)
        _exit(125);
    // Failing as where the file system has none.
    if (setup.without_unnamed_files && !filter_openat(unnamed_file, SECCOMP_RET_ERRNO | EOPNOTSUPP))
        _exit(125);
    if (setup.traced) {
        // The leak check at exit would try to trace the process itself.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 ||
            !filter_openat(O_CREAT | unnamed_file, SECCOMP_RET_TRACE))
            _exit(125);
    }
    const char *program = setup.program ? setup.program : TESSALY_BINARY;
    std::vector<std::string> copies = arguments;
    copies.insert(copies.begin(), setup.argument_0 ? setup.argument_0 : program);
    std::vector<char *> argv;
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
}

}  // namespace

int start_tessaly(const std::vector<std::string> &arguments, const std::string &cwd, const run_setup &setup)
{
    const int null_fd = open("/dev/null", O_WRONLY);
    const int out_fd = setup.output_file ? open(setup.output_file, O_WRONLY | O_CREAT | O_TRUNC, 0644) : null_fd;
    const pid_t child = fork();
    if (child == 0)
        exec_tessaly(arguments, cwd, setup, out_fd, null_fd);
    close(null_fd);
    if (out_fd != null_fd)
        close(out_fd);
    return child;
}

run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd, const run_setup &setup)
{
    char out_path[] = "/tmp/tessaly-out-XXXXXX", err_path[] = "/tmp/tessaly-err-XXXXXX";
    int out_fd = mkstemp(out_path), err_fd = mkstemp(err_path);
    unlink(out_path);
    unlink(err_path);
    pid_t child = fork();
    if (child == 0)
        exec_tessaly(arguments, cwd, setup, out_fd, err_fd);
    int status = 0;
    waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (auto [fd, text] : { std::make_pair(out_fd, &result.output), std::make_pair(err_fd, &result.errors) }) {
        lseek(fd, 0, SEEK_SET);
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            text->append(buffer, static_cast<size_t>(got));
        close(fd);
    }
    return result;
}

decoded_png decode_png_file(const std::string &path) { return decode_png(read_file(path)); }

void write_palette_file(const std::string &path, const std::vector<uint8_t> &rgb) { write_file(path, { rgb.begin(), rgb.end() }); }

std::vector<uint8_t> sprite_rgba(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    const double radius = 0.38 * std::min(width, height), hole = 0.08 * std::min(width, height);
    std::vector<uint8_t> rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double d = std::hypot(x + 0.5 - 0.5 * width, y + 0.5 - 0.55 * height);
            const bool in_hole = std::hypot(x + 0.5 - 0.4 * width, y + 0.5 - 0.45 * height) < hole;
            const double coverage = in_hole ? 0 : std::clamp((radius - d) / 3 + 0.5, 0.0, 1.0);
            const int grain = (x * 7 + y * 13) % 21 - 10;
            uint8_t pixel[4] = { uint8_t(std::clamp(255 * x / width + grain, 0, 255)),
                                 uint8_t(std::clamp(int(80 + 150 * (1 - d / radius)) + grain, 0, 255)),
                                 uint8_t(std::clamp(255 * y / height - grain, 0, 255)), uint8_t(coverage * 255) };
            if (pixel[3] == 0)
                for (int c = 0; c < 3; ++c)
                    pixel[c] = seed == 0 ? 0 : uint8_t(random());
            rgba.insert(rgba.end(), pixel, pixel + 4);
        }
    return rgba;
}

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

std::string size_lines(int width, int height)
{
    return "\nimage width " + std::to_string(width) + "\nimage heigh " + std::to_string(height) + "\n\n";
}

std::string output_name(const std::string &stem, int number)
{
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_dithered_%04d.png", number);
    return stem + suffix;
}
