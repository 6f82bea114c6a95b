/// @brief The panel program as the self-update tests need it: a real executable whose behaviour is named by the last
/// line appended to its own file.
//
// The tests make each "panel" by copying this program and appending "\nSTANDIN:<mode>\n" (and for
// the installed panel a version block before that line). Executables of both kinds run with bytes
// appended, so one build gives as many distinct programs as the tests need, on Linux and Windows
// alike. Plain C++ and the system's own calls, linked statically on Windows, so that a copy runs
// from any folder without a Qt or compiler runtime beside it.
//
//   healthy    writes "started <args>" to <folder>/started, removes <own path>.old (the panel's
//              report of a healthy start), exits 0
//   ends       writes "started <args>", exits 0 and leaves the .old file
//   hangs      writes "started <args>", then sleeps 20 s
//   restarted  writes "restarted" to <folder>/restarted, exits 0
//   waits      sleeps 60 s
//
// Exit status 2: no mode found at the end of the file; 3: a file could not be written.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

namespace fs = std::filesystem;

namespace {

constexpr char kModePrefix[] = "STANDIN:";
// The mode line sits at the very end, after any version block; nothing longer is looked at.
constexpr std::streamoff kTailBytes = 256;

// argv[0] may be a bare name or a relative path, depending on who started us.
fs::path ownPath()
{
#ifdef _WIN32
    std::wstring buffer(MAX_PATH, L'\0');
    // Long paths need a bigger buffer; 32767 characters is the system's own limit.
    while (buffer.size() <= 32768) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return fs::path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
    return {};
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
#endif
}

std::string modeOf(const fs::path& self)
{
    std::ifstream in(self, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    const std::streamoff size = in.tellg();
    const std::streamoff take = std::min(size, kTailBytes);
    std::string tail(std::size_t(take), '\0');
    in.seekg(size - take);
    if (!in.read(tail.data(), take))
        return {};
    while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r'))
        tail.pop_back();
    const std::size_t lineStart = tail.rfind('\n');
    if (lineStart == std::string::npos)
        return {};
    const std::string line = tail.substr(lineStart + 1);
    if (line.rfind(kModePrefix, 0) != 0)
        return {};
    return line.substr(sizeof kModePrefix - 1);
}

bool writeText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text << '\n';
    out.close();
    return !out.fail();
}

void sleepSeconds(int seconds)
{
#ifdef _WIN32
    Sleep(DWORD(seconds) * 1000);
#else
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    const fs::path self = ownPath();
    const std::string mode = self.empty() ? std::string() : modeOf(self);
    const fs::path folder = self.parent_path();

    std::string started = "started";
    for (int i = 1; i < argc; ++i)
        started += std::string(" ") + argv[i];

    if (mode == "waits") {
        sleepSeconds(60);
        return 0;
    }
    if (mode == "restarted")
        return writeText(folder / "restarted", "restarted") ? 0 : 3;
    if (mode != "healthy" && mode != "ends" && mode != "hangs") {
        std::fprintf(stderr, "standin: no STANDIN:<mode> line at the end of this program's file\n");
        return 2;
    }

    if (!writeText(folder / "started", started))
        return 3;
    if (mode == "healthy") {
        fs::path backup = self;
        backup += ".old";
        std::error_code ec;
        fs::remove(backup, ec);
    } else if (mode == "hangs") {
        sleepSeconds(20);
    }
    return 0;
}
