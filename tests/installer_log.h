#pragma once
// The log of the stand-in installer (test_installer.cpp): one line per finished start.

#include <string>
#include <vector>

#include "tests/test_files.h"

struct LoggedInstall {
    std::string name;       // the started file's own name
    std::string arguments;  // its command line after the name
    ULONGLONG start = 0;    // GetTickCount64 when it started and just before it ended
    ULONGLONG end = 0;
    std::string folder;     // the folder it was started from, UTF-8
};

// The finished starts in the order they ended; none when there is no log.
inline std::vector<LoggedInstall> ReadInstallerLog(const std::wstring& path)
{
    std::vector<LoggedInstall> runs;
    const std::string log = ReadWholeFile(path);
    if (log == "<missing>")
        return runs;
    size_t begin = 0;
    for (size_t end; (end = log.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        const std::string line = log.substr(begin, end - begin);
        std::vector<std::string> fields;
        size_t from = 0;
        for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
            fields.push_back(line.substr(from, tab - from));
        fields.push_back(line.substr(from));
        if (fields.size() == 5)
            runs.push_back({fields[0], fields[1], std::stoull(fields[2]), std::stoull(fields[3]), fields[4]});
    }
    return runs;
}
