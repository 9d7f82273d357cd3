/*
 * Times one program run from inside Wine, so that the cost of starting Wine
 * itself (and the harness's runner) stays out of the figure.
 *
 *   timer.exe RESULT-FILE COMMAND-LINE
 *
 * RESULT-FILE is one token (quoted if it holds blanks); everything after the
 * blank that ends it is the child's command line, unchanged. The clock runs
 * from just before CreateProcessW until the child has ended. RESULT-FILE
 * receives "<exit code> <seconds>\n"; the timer exits with the child's code,
 * or with 0xBE0000xx when it could not run the child at all.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static const wchar_t *skip_blanks(const wchar_t *p)
{
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

/* One token: a quoted one ends at the next quote, a plain one at a blank. */
static const wchar_t *read_token(const wchar_t *p, wchar_t *out, size_t capacity)
{
    size_t n = 0;
    int quoted = *p == L'"';
    if (quoted)
        ++p;
    while (*p && (quoted ? *p != L'"' : (*p != L' ' && *p != L'\t'))) {
        if (n + 1 < capacity)
            out[n++] = *p;
        ++p;
    }
    if (quoted && *p)
        ++p;
    out[n] = 0;
    return p;
}

int wmain(void)
{
    static wchar_t self[MAX_PATH], result_path[MAX_PATH];
    const wchar_t *p = GetCommandLineW();
    wchar_t *child;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    LARGE_INTEGER frequency, start, end;
    DWORD code = 0, written;
    HANDLE result;
    char line[64];
    int length;

    p = skip_blanks(read_token(skip_blanks(p), self, MAX_PATH));
    p = skip_blanks(read_token(p, result_path, MAX_PATH));
    if (!*result_path || !*p)
        return (int)0xBE000001u;
    child = _wcsdup(p);
    if (!child)
        return (int)0xBE000002u;

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(NULL, child, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return (int)0xBE000003u;
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    if (!GetExitCodeProcess(pi.hProcess, &code))
        return (int)0xBE000004u;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    length = _snprintf(line, sizeof line, "%lu %.6f\n", code,
                       (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    result = CreateFileW(result_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (result == INVALID_HANDLE_VALUE)
        return (int)0xBE000005u;
    if (length <= 0 || !WriteFile(result, line, (DWORD)length, &written, NULL) || written != (DWORD)length)
        return (int)0xBE000006u;
    CloseHandle(result);
    return (int)code;
}
