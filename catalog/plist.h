// Property-list reader: XML ("<plist>") and binary ("bplist00") forms into a tree of
// boost::any values. Read-only; every call is self-contained and thread-safe.
//
// Value kinds and their held types:
//   dictionary  Plist::dictionary_type      array    Plist::array_type
//   string      std::string (UTF-8 / raw)   integer  int64_t
//   real        double                      boolean  bool
//   date        Plist::PlistDate            data     std::vector<char>
//
// Failures throw std::runtime_error with a fixed English text, or boost::bad_any_cast
// when the top-level value is not an array.
#pragma once

#include <boost/any.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Plist {

using dictionary_type = std::map<std::string, boost::any>;
using array_type = std::vector<boost::any>;

// Deepest nesting of arrays and dictionaries either form accepts; the top-level array
// counts as level 1. Decoding recurses per level, so this bounds stack use.
constexpr int kMaxNestingDepth = 512;

class PlistDate {
public:
    // The current time.
    PlistDate();

    // Stores the given calendar components read as UTC. Out-of-range components carry
    // over (month 13 is January of the next year). Throws std::runtime_error
    // "PlistDate::set() date invalid" when the instant falls outside 1970..2038-01-19.
    void set(int month, int day, int year, int hour, int minute, int second);

    int32_t time;  // seconds since 1970-01-01T00:00:00Z
};

// Reads the whole file and decodes it with readBuffer.
array_type readFile(const std::wstring& path);

// Decodes size bytes at data; a null pointer or a size of 0 or less is empty data.
array_type readBuffer(const char* data, int64_t size);

}  // namespace Plist
