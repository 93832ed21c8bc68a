// Holds a file open as another program can on Windows, so that nobody may replace or delete it
// meanwhile: "filelocker FILE SECONDS none|read READY". With "none" nobody may even read it; with
// "read" others may read (and so copy) it, as with a running program's own files. Creates the file
// READY once it holds FILE (its standard output may not reach a Linux parent under Wine).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 5) {
        std::fputs("usage: filelocker FILE SECONDS none|read READY\n", stderr);
        return 2;
    }
    const DWORD sharing = std::wcscmp(arguments[3], L"read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(
        CreateFileW(arguments[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)) * 1000);
    CloseHandle(file);
    return 0;
}
