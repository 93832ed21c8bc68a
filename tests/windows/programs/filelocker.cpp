// Holds a file open without sharing, as another program can on Windows, so that nobody may replace
// or delete it meanwhile: "filelocker FILE SECONDS". Prints "locked" once it holds the file.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 3) {
        std::fputs("usage: filelocker FILE SECONDS\n", stderr);
        return 2;
    }
    HANDLE file =
        CreateFileW(arguments[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)) * 1000);
    CloseHandle(file);
    return 0;
}
