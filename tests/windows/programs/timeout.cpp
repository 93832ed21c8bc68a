// The "timeout /t SECONDS [/nobreak]" command of Windows, which Wine's cmd.exe does not have: waits
// the given number of seconds. Tests put it into the Wine prefix only, never beside the product.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (_stricmp(argv[i], "/t") == 0) {
            Sleep(static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10)) * 1000);
            return 0;
        }
    }
    return 1;
}
