#pragma once
// The catalogue serial a keyed build holds on to. Last year's catalogue still verifies, and
// its hashes still match last year's installers: a serial that only grows, inside the signed
// bytes, lets the build refuse a catalogue older than one it has already taken.

#include <cstdint>
#include <optional>

// The highest serial this user's keyed build has taken, a REG_QWORD under
// HKEY_CURRENT_USER\kUserSettingsKey.
constexpr wchar_t kHighestCatalogueSerialValue[] = L"HighestCatalogueSerial";

// Whether a verified catalogue with serial `offered` may be used where `highestTaken` has been
// taken: not with a lower serial, and without one only while none has been taken.
bool TakesCatalogueSerial(std::optional<int64_t> offered, std::optional<int64_t> highestTaken);

// The value above; empty when there is none or it is not a REG_QWORD.
std::optional<int64_t> HighestTakenSerial();

// Keeps `serial` when it is higher than the one kept; an empty one changes nothing.
void RecordTakenSerial(std::optional<int64_t> serial);
