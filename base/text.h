#pragma once
// Text helpers for the ASCII-only comparisons of URLs, schemes and version strings;
// independent of the user's locale.

#include <string>

wchar_t AsciiLower(wchar_t c);

bool StartsWithIgnoringAsciiCase(const std::wstring& text, const std::wstring& prefix);
