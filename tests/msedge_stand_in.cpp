// The browser in the Windows end-to-end run: installed where the program
// starts Edge, it notes its command line in "started.txt" beside itself, one
// line per start, and then stays as a browser would: 20 s, or until a file
// "release" appears beside it, which the test makes when it is done with it.
// It notes how it left in "ended.txt". Lines end in "\n" alone.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    char module[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::string folder(module, length);
    folder.erase(folder.find_last_of('\\') + 1);

    auto note = [&](const char* file, const char* line) {
        if (FILE* log = std::fopen((folder + file).c_str(), "ab")) {
            std::fprintf(log, "%s\n", line);
            std::fclose(log);
        }
    };
    note("started.txt", GetCommandLineA());

    const std::string release = folder + "release";
    for (int waited_ms = 0; waited_ms < 20000; waited_ms += 50) {
        if (GetFileAttributesA(release.c_str()) != INVALID_FILE_ATTRIBUTES) {
            note("ended.txt", "released");
            return 0;
        }
        Sleep(50);
    }
    note("ended.txt", "after 20 s");
    return 0;
}
