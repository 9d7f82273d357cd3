/*
 * A Windows program that does nothing: its entry ends the process at once.
 * Built around the same package resource and with the same link options as
 * the launcher, its run time is what Wine spends creating the process and
 * mapping an image of that size; the launcher's run time less this is the
 * cost of extracting the package (and of the stand-in engine runs).
 */
#include <windows.h>

void WINAPI NothingEntry(void)
{
    ExitProcess(0);
}
