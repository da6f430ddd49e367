// Holds FILE open with no sharing, as a running engine holds its
// configuration, creates READY, and lets go once RELEASE exists (a minute at
// most): hold_file.exe FILE READY RELEASE. Exit 1 if FILE cannot be opened.
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(ready);
    for (int i = 0; i < 3000 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(20);
    CloseHandle(held);
    return 0;
}
