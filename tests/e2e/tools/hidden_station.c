/*
 * Starts a command line in a window station that nobody can see, as a
 * deployment agent running as LocalSystem in session 0 does, and reports the
 * child's full 32-bit exit code.
 *
 *   hidden_station.exe [--report=FILE] COMMANDLINE
 *
 * Creates the window station "E2EHiddenStation" without WSF_VISIBLE and a
 * desktop "Default" in it, then starts COMMANDLINE (the rest of the own
 * command line, verbatim) with STARTUPINFO.lpDesktop
 * "E2EHiddenStation\Default" and waits for it. --report=FILE (no blanks)
 * writes "flags <UOI_FLAGS of the station>" there before the child starts.
 *
 * Exit code: the child's, in full (the runner reports it), or 1 after
 * "failed <step> <error>\n" on stdout. Usage errors exit 2.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static void write_out(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

static int fail(const char *step)
{
    char line[96];
    _snprintf(line, sizeof line, "failed %s %lu\n", step, GetLastError());
    write_out(line);
    return 1;
}

static const wchar_t *skip_blanks(const wchar_t *p)
{
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

int wmain(void)
{
    const wchar_t *p = GetCommandLineW();
    wchar_t report[MAX_PATH] = L"";
    USEROBJECTFLAGS flags;
    DWORD needed = 0, code;
    HWINSTA station;
    HDESK desktop;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    wchar_t *rest;
    wchar_t desktop_name[] = L"E2EHiddenStation\\Default";
    char line[64];

    /* Program name: quoted up to the next quote, else up to a blank. */
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p)
            ;
        if (*p)
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    p = skip_blanks(p);
    if (wcsncmp(p, L"--report=", 9) == 0) {
        size_t n = wcscspn(p + 9, L" \t");
        if (n == 0 || n >= MAX_PATH)
            return 2;
        wcsncpy(report, p + 9, n);
        report[n] = 0;
        p = skip_blanks(p + 9 + n);
    }
    if (!*p)
        return 2;

    station = CreateWindowStationW(L"E2EHiddenStation", 0, WINSTA_ALL_ACCESS, NULL);
    if (!station)
        return fail("CreateWindowStationW");
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return fail("GetUserObjectInformationW");
    if (report[0]) {
        HANDLE file = CreateFileW(report, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD written;
        if (file == INVALID_HANDLE_VALUE)
            return fail("report");
        _snprintf(line, sizeof line, "flags %lu\n", flags.dwFlags);
        WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
        CloseHandle(file);
    }
    /* The desktop is created in the process's current station. */
    HWINSTA own = GetProcessWindowStation();
    if (!SetProcessWindowStation(station))
        return fail("SetProcessWindowStation");
    desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    if (!desktop)
        return fail("CreateDesktopW");
    SetProcessWindowStation(own);

    rest = _wcsdup(p);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.lpDesktop = desktop_name;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessW(NULL, rest, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return fail("CreateProcessW");
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (!GetExitCodeProcess(pi.hProcess, &code))
        return fail("GetExitCodeProcess");
    CloseHandle(pi.hProcess);
    CloseDesktop(desktop);
    CloseWindowStation(station);
    return (int)code;
}
