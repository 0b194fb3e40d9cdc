// A test tool for Windows (run under Wine): starts a program in a console of
// its own, with the standard output and error this tool was given, and once
// a trigger file exists sends that console a Ctrl-C as a user's key press
// would. Exits with the program's exit code (99 when it had to be killed
// after 60 s). (Wine 8 passes no Ctrl-Break on to the program, to its console
// or to a group of its own, so there is no such choice here.)
//
//   console_ctrl.exe TRIGGER_FILE PROGRAM [ARGUMENTS...]
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The tool itself lets the event pass: only the program acts on it.
BOOL WINAPI IgnoreEvent(DWORD) {
    return TRUE;
}

// One argument quoted as CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: console_ctrl TRIGGER_FILE PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole()) {
        std::fprintf(stderr, "console_ctrl: no console (error %lu)\n", GetLastError());
        return 98;
    }
    SetConsoleCtrlHandler(IgnoreEvent, TRUE);
    std::wstring line;
    for (int i = 2; i < argc; ++i) {
        line += (i > 2 ? L" " : L"") + Quoted(argv[i]);
    }
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = out;
    start.hStdError = err;
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &process)) {
        std::fprintf(stderr, "console_ctrl: cannot start the program (error %lu)\n",
                     GetLastError());
        return 97;
    }
    for (int waited = 0; WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT; waited += 50) {
        if (GetFileAttributesW(argv[1]) != INVALID_FILE_ATTRIBUTES) {
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0); // every program on the console
            DeleteFileW(argv[1]);
        }
        if (waited > 60000) {
            TerminateProcess(process.hProcess, 99);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
