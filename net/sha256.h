#pragma once
// SHA-256 of installer files through the platform's CNG provider (bcrypt).

#include <atomic>
#include <string>

// The file's SHA-256 as 64 lowercase hexadecimal digits. Empty when the file cannot be
// opened or read, the provider fails, or `cancel` (when given) is set while it reads.
std::wstring Sha256OfFile(const std::wstring& path, const std::atomic<bool>* cancel = nullptr);
