// The stand-in called once, as a program a test can run under strace:
//   copy_file_tool SRC DST FAIL_IF_EXISTS    exits 0, or with errno
#include <windows.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 100;
    return CopyFileA(argv[1], argv[2], std::strtol(argv[3], nullptr, 10) != 0 ? TRUE : FALSE) ? 0 : errno;
}
