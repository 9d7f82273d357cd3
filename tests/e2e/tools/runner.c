/*
 * e2e runner: starts one Windows command line inside Wine and reports the
 * child's full 32-bit exit code on stdout.
 *
 *   runner.exe [--temp=DIR] [--cwd=DIR] [--rest-env=NAME] -- REST
 *
 * Wine passes only the low 8 bits of an exit code to the Unix side, so the
 * harness starts the program under test through this runner and reads the
 * code from stdout instead.
 *
 * --temp=DIR      set TEMP and TMP to DIR before starting the child (Wine
 *                 takes them from the prefix registry, not from Unix).
 * --cwd=DIR       current directory of the child.
 * --rest-env=NAME take the child's command line from environment variable
 *                 NAME instead of from the text after " -- ", and remove the
 *                 variable before starting the child. Wine rebuilds a
 *                 Windows command line from Unix argv with its own quoting,
 *                 so only this route delivers arbitrary quoting unchanged
 *                 when the runner is launched from a Unix shell.
 * -- REST         REST, taken verbatim from GetCommandLineW() after the
 *                 first " -- ", is the child's lpCommandLine.
 *
 * Output: "<exit code>\n" and exit 0, or "start-failed <error>\n" and exit 1.
 * Usage errors exit 2.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* Writes bytes as they are: CRT text mode would turn "\n" into "\r\n". */
static void write_to(DWORD which, const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(which), text, (DWORD)strlen(text), &written, NULL);
}

static int usage(const char *why)
{
    write_to(STD_ERROR_HANDLE, "runner: ");
    write_to(STD_ERROR_HANDLE, why);
    write_to(STD_ERROR_HANDLE,
             "\nusage: runner.exe [--temp=DIR] [--cwd=DIR] [--rest-env=NAME] -- COMMANDLINE\n");
    return 2;
}

static int is_blank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

/* Skips the program name the way the system does: a quoted name ends at the
 * next quote, an unquoted one at the first blank. */
static const wchar_t *skip_program_name(const wchar_t *p)
{
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p)
            ++p;
    } else {
        while (*p && !is_blank(*p))
            ++p;
    }
    return p;
}

/* Reads one option token at p with the usual argv rules (quotes group blanks,
 * backslashes are literal unless they precede a quote, where 2n backslashes
 * give n and toggle quoting, 2n+1 give n and a literal quote), so options
 * quoted by Wine, e.g. "--temp=C:\Temp Dir\\", decode to what was meant.
 * Stores the decoded token in *value and returns the end of the raw token. */
static const wchar_t *read_token(const wchar_t *p, wchar_t **value)
{
    wchar_t *out = malloc((wcslen(p) + 1) * sizeof(wchar_t));
    wchar_t *o = out;
    int quoted = 0;

    if (!out)
        ExitProcess(3);
    while (*p && (quoted || !is_blank(*p))) {
        if (*p == L'\\') {
            size_t count = 0;
            while (*p == L'\\') {
                ++count;
                ++p;
            }
            if (*p == L'"') {
                for (; count >= 2; count -= 2)
                    *o++ = L'\\';
                if (count) {
                    *o++ = L'"';
                    ++p;
                }
            } else {
                while (count--)
                    *o++ = L'\\';
            }
        } else if (*p == L'"') {
            quoted = !quoted;
            ++p;
        } else {
            *o++ = *p++;
        }
    }
    *o = 0;
    *value = out;
    return p;
}

static int starts_with(const wchar_t *s, const wchar_t *prefix)
{
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

static wchar_t *env_value(const wchar_t *name)
{
    DWORD size = GetEnvironmentVariableW(name, NULL, 0);
    wchar_t *value;
    if (size == 0)
        return NULL;
    value = malloc(size * sizeof(wchar_t));
    if (value && GetEnvironmentVariableW(name, value, size) >= size) {
        free(value);
        return NULL;
    }
    return value;
}

int wmain(void)
{
    const wchar_t *p = skip_program_name(GetCommandLineW());
    wchar_t *temp = NULL, *cwd = NULL, *rest_env = NULL, *rest = NULL;
    int saw_separator = 0;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    DWORD code;
    char line[64];

    for (;;) {
        const wchar_t *end;
        wchar_t *token;
        while (is_blank(*p))
            ++p;
        if (!*p)
            break;
        end = read_token(p, &token);
        if (end - p == 2 && p[0] == L'-' && p[1] == L'-') {
            saw_separator = 1;
            /* REST starts right after the single blank that ends " -- ". */
            p = *end ? end + 1 : end;
            break;
        }
        if (starts_with(token, L"--temp="))
            temp = token + 7;
        else if (starts_with(token, L"--cwd="))
            cwd = token + 6;
        else if (starts_with(token, L"--rest-env="))
            rest_env = token + 11;
        else
            return usage("unknown option");
        p = end;
    }

    if (rest_env) {
        rest = env_value(rest_env);
        if (!rest)
            return usage("--rest-env variable is not set");
        SetEnvironmentVariableW(rest_env, NULL);
    } else if (saw_separator) {
        rest = _wcsdup(p);
    }
    if (!rest || !*rest)
        return usage("no command line to run");

    if (temp && (!SetEnvironmentVariableW(L"TEMP", temp) || !SetEnvironmentVariableW(L"TMP", temp)))
        return usage("cannot set TEMP/TMP");

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessW(NULL, rest, NULL, NULL, FALSE, 0, NULL, cwd, &si, &pi)) {
        _snprintf(line, sizeof line, "start-failed %lu\n", GetLastError());
        write_to(STD_OUTPUT_HANDLE, line);
        return 1;
    }
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (!GetExitCodeProcess(pi.hProcess, &code)) {
        _snprintf(line, sizeof line, "exit-code-failed %lu\n", GetLastError());
        write_to(STD_OUTPUT_HANDLE, line);
        return 1;
    }
    CloseHandle(pi.hProcess);
    _snprintf(line, sizeof line, "%lu\n", code);
    write_to(STD_OUTPUT_HANDLE, line);
    return 0;
}
