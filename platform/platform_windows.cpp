// The Windows side of the platform layer. Names reach the system through its
// "A" functions and the C runtime, in the process's ANSI code page: the
// manifest makes that UTF-8, so that the arguments, the files opened and the
// files made all agree on names outside the old code pages. Only a rename
// through a handle wants the system's own wide form, made here.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

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

// The full path in the form the system's own calls take (\??\C:\dir\name,
// \??\UNC\server\share\name), which a rename through a handle needs.
std::wstring native_path(const char *path)
{
    const std::wstring wide = platform_wide_text(path);
    const DWORD room = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (room == 0)
        return std::wstring();
    std::wstring full(room, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), room, &full[0], nullptr);
    if (length == 0 || length >= room)
        return std::wstring();
    full.resize(length);
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return L"\\??\\" + full.substr(4);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\??\\UNC\\" + full.substr(2);
    return L"\\??\\" + full;
}

// Up to and with the last '\' or '/'; empty for a bare name.
std::string folder_of(const char *path)
{
    const char *end = nullptr;
    for (const char *c = path; *c; ++c)
        if (*c == '\\' || *c == '/')
            end = c;
    return end ? std::string(path, static_cast<size_t>(end - path + 1)) : std::string();
}

// A file marked so is removed by the system when its handle closes, also when
// the process is killed. Unlike the flag of the same name given at creation,
// the mark can be taken back.
bool mark_for_removal(HANDLE file, bool marked)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = marked;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A hidden file of the folder, marked for removal, whose name holds the
// process id so that no other process makes one of that name meanwhile.
// INVALID_HANDLE_VALUE when the folder takes no new file.
HANDLE create_hidden_file(const std::string &folder, DWORD access)
{
    static unsigned count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".tessaly-%lu-%u", GetCurrentProcessId(), count++);
        HANDLE file = CreateFileA((folder + name).c_str(), access | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            if (mark_for_removal(file, true))
                return file;
            CloseHandle(file);
            DeleteFileA((folder + name).c_str());
            return INVALID_HANDLE_VALUE;
        }
        // Taken only by a leftover of a process long gone that had our id.
        if (GetLastError() != ERROR_FILE_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

// An output is a hidden file, marked for removal while it is written, so that
// a killed run leaves nothing; when whole, it loses the mark and is renamed
// through its handle to its final name, which a rename never replaces.
struct platform_output {
    HANDLE file;
};

void platform_set_working_directory(const char *argument_0)
{
    // Started by drag and drop or by its full path, the program works in its
    // own folder, where palette.act lies; started by its bare name from a
    // shell, it stays where the shell is.
    const std::string folder = working_directory_of(argument_0);
    if (!folder.empty())
        SetCurrentDirectoryA(folder.c_str());
}

std::string platform_executable_path()
{
    for (DWORD room = MAX_PATH; room <= 65536; room *= 4) {
        std::wstring path(room, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], room);
        if (length == 0)
            return std::string();
        // A name cut to the room given fills it exactly.
        if (length < room) {
            const int bytes = WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(length), nullptr, 0,
                                                  nullptr, nullptr);
            std::string narrow(static_cast<size_t>(bytes), '\0');
            WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(length), &narrow[0], bytes, nullptr,
                                nullptr);
            return narrow;
        }
    }
    return std::string();
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

bool platform_is_folder(const char *path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

platform_folder_state platform_check_folder(const char *path)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? folder_missing : folder_read_only;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return folder_missing;
    // The read-only attribute of a folder does not keep files out; only
    // making one tells.
    std::string folder = path;
    if (folder.back() != '\\' && folder.back() != '/')
        folder += '\\';
    HANDLE probe = create_hidden_file(folder, GENERIC_WRITE);
    if (probe == INVALID_HANDLE_VALUE)
        return folder_read_only;
    CloseHandle(probe);
    return folder_writable;
}

platform_output *platform_output_begin(const char *path)
{
    HANDLE file = create_hidden_file(folder_of(path), GENERIC_WRITE);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    platform_output *output = new (std::nothrow) platform_output{ file };
    if (!output)
        CloseHandle(file);
    return output;
}

bool platform_output_write(platform_output *output, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(output->file, bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

bool platform_output_finish(platform_output *output)
{
    // Where the disk reports that the data did not fit, and what makes a
    // named output whole after a power cut.
    return FlushFileBuffers(output->file) != 0;
}

namespace {

bool rename_to(HANDLE file, const std::wstring &target)
{
    std::vector<char> room(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    FILE_RENAME_INFO *rename = reinterpret_cast<FILE_RENAME_INFO *>(room.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.data(), rename->FileNameLength);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(room.size())) != 0;
}

platform_publish_result refused(const char *path, DWORD error)
{
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return name_taken;
    // A folder of that name may refuse with "access denied" instead.
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? name_taken : publish_failed;
}

}  // namespace

platform_publish_result platform_output_publish(platform_output *output, const char *path)
{
    const std::wstring target = native_path(path);
    if (target.empty())
        return publish_failed;
    // Renamed while still marked, then unmarked: killed in between, the
    // process leaves no file at all rather than a hidden one.
    if (rename_to(output->file, target))
        return mark_for_removal(output->file, false) ? published : publish_failed;
    if (refused(path, GetLastError()) == name_taken)
        return name_taken;
    // A system that renames no file marked for removal: the mark comes off
    // for the rename alone, and killed in between the process leaves at worst
    // a hidden file.
    if (!mark_for_removal(output->file, false))
        return publish_failed;
    if (rename_to(output->file, target))
        return published;
    const platform_publish_result result = refused(path, GetLastError());
    mark_for_removal(output->file, true);
    return result;
}

void platform_output_end(platform_output *output)
{
    if (!output)
        return;
    CloseHandle(output->file);
    delete output;
}

// Large pages need a privilege that ordinary users lack; the hint is left
// unused here.
void platform_prefer_large_pages(void *, size_t) {}

std::wstring platform_wide_text(const char *text)
{
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}
