// applib: lets a catalogue publisher see what the installer will make of a catalogue file.
//   applib dump FILE    the property list as JSON
//   applib check FILE   the groups the installer loads, and whether a refresh would accept it

#include <cstdio>
#include <string>

#include "tools/plist_json.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "catalog/catalogue.h"
#else
#include <clocale>
#include <cstdlib>
#endif

namespace {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitUnreadable = 3 };

#ifdef _WIN32
const char kUsage[] = "usage: applib dump FILE\n       applib check FILE\n";
#else
const char kUsage[] = "usage: applib dump FILE\n";
#endif

// Raw bytes, so UTF-8 text reaches a UTF-8 terminal unchanged on every platform.
void WriteBytes(FILE* stream, const std::string& bytes)
{
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}

int Dump(const std::wstring& path)
{
    std::string out;
    std::string err;
    const int code = RunDump(path, out, err);
    WriteBytes(stdout, out);
    WriteBytes(stderr, err);
    return code;
}

#ifdef _WIN32
std::string Utf8FromWide(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], length,
                        nullptr, nullptr);
    return utf8;
}

int Check(const std::wstring& path)
{
    Catalogue catalogue;
    if (!LoadCatalogue(catalogue, path)) {
        WriteBytes(stderr, "cannot load " + Utf8FromWide(path) + "\n");
        return kExitUnreadable;
    }
    std::string report;
    for (const auto& group : catalogue)
        report += Utf8FromWide(group->name) + ": " + std::to_string(group->applications.size()) + " programs\n";

    std::wstring message;
    const bool passed = CheckCatalogue(catalogue, message);
    report += passed ? std::string("ok") : Utf8FromWide(message);
    report += "\n";
    WriteBytes(stdout, report);
    return passed ? kExitOk : kExitFailed;
}

int Run(int argc, wchar_t** argv)
{
    if (argc != 3) {
        WriteBytes(stderr, kUsage);
        return kExitUsage;
    }
    const std::wstring command = argv[1];
    if (command == L"dump")
        return Dump(argv[2]);
    if (command == L"check")
        return Check(argv[2]);
    WriteBytes(stderr, kUsage);
    return kExitUsage;
}
#else
int Run(int argc, char** argv)
{
    if (argc != 3 || std::string(argv[1]) != "dump") {
        WriteBytes(stderr, kUsage);
        return kExitUsage;
    }
    std::setlocale(LC_CTYPE, "C.UTF-8");
    const size_t length = std::mbstowcs(nullptr, argv[2], 0);
    if (length == static_cast<size_t>(-1)) {
        WriteBytes(stderr, "applib: the file name is not valid UTF-8\n");
        return kExitUsage;
    }
    std::wstring path(length, L'\0');
    std::mbstowcs(&path[0], argv[2], length);
    return Dump(path);
}
#endif

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    // Text mode would turn every "\n" into "\r\n" inside the JSON and the report.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return Run(argc, argv);
}
#else
int main(int argc, char** argv)
{
    return Run(argc, argv);
}
#endif
