#pragma once
// Program versions compared as dotted numbers, the way a catalogue's "version" meets an
// installed program's DisplayVersion: "1.10" is newer than "1.9", "2.0" equals "2.0.0".

#include <optional>
#include <string>

// A version is read from its start (white space skipped) as numbers joined by single
// points; it ends at the first part that is not a number, and whatever follows a number's
// digits ends it too: "23.01 (x64)" reads 23.1, "1.2.3-rc1" 1.2.3, "1..2" 1, "v1.2" nothing.
bool HasVersionNumber(const std::wstring& version);

// Negative, zero or positive as `left` is older than, equal to or newer than `right`; missing
// parts count as 0, and numbers of any length compare. None when either has no number: an
// unknown version is neither older nor newer.
std::optional<int> CompareVersions(const std::wstring& left, const std::wstring& right);
