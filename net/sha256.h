#pragma once
// SHA-256 through the platform's CNG provider (bcrypt): of installer files, and of the
// signed bytes of catalogues.

#include <windows.h>

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

// The file's SHA-256 as 64 lowercase hexadecimal digits. Empty when the file cannot be
// opened or read, the provider fails, or `cancel` (when given) is set while it reads.
std::wstring Sha256OfFile(const std::wstring& path, const std::atomic<bool>* cancel = nullptr);
// The same of a file already open for reading, from its current position to its end.
std::wstring Sha256OfOpenFile(HANDLE file, const std::atomic<bool>* cancel = nullptr);

using Sha256Digest = std::array<unsigned char, 32>;

// The SHA-256 of bytes in memory; nothing when the provider fails.
std::optional<Sha256Digest> Sha256OfBytes(std::string_view bytes);
