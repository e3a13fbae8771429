#include "catalog/catalogue_serial.h"

#include <windows.h>

#include "base/unique_handle.h"
#include "base/user_settings.h"

bool TakesCatalogueSerial(std::optional<int64_t> offered, std::optional<int64_t> highestTaken)
{
    if (!highestTaken)
        return true;
    return offered && *offered >= *highestTaken;
}

std::optional<int64_t> HighestTakenSerial()
{
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUserSettingsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    int64_t serial = 0;
    DWORD type = 0;
    DWORD size = sizeof(serial);
    if (RegQueryValueExW(key.get(), kHighestCatalogueSerialValue, nullptr, &type, reinterpret_cast<BYTE*>(&serial),
                         &size) != ERROR_SUCCESS ||
        type != REG_QWORD || size != sizeof(serial))
        return std::nullopt;
    return serial;
}

void RecordTakenSerial(std::optional<int64_t> serial)
{
    const std::optional<int64_t> kept = HighestTakenSerial();
    if (!serial || (kept && *kept >= *serial))
        return;
    RegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUserSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key.get(), kHighestCatalogueSerialValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&*serial),
                   sizeof(*serial));
}
