/*
 * Control for the DLL planting tests: a program without any DLL search
 * hardening that loads each DLL named on its command line by name alone, so
 * a DLL planted beside it is picked up wherever the default search allows.
 *
 *   dll_search_control.exe NAME...
 *
 * Exit code: the number of names that did not load.
 */
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    int failed = 0, i;
    for (i = 1; i < argc; ++i) {
        if (!LoadLibraryW(argv[i]))
            ++failed;
    }
    return failed;
}
