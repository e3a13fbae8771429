#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/autorun.h"
#include "base/unique_handle.h"

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kValueName[] = L"TovarinSoftwareInstaller";
const wchar_t kSiblingName[] = L"AutorunTestSibling";

struct StoredValue {
    DWORD type;
    std::vector<BYTE> data;
};

RegKey OpenRunKey(HKEY hive)
{
    RegKey key;
    EXPECT_EQ(RegCreateKeyExW(hive, kRunKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    return key;
}

std::optional<StoredValue> ReadValue(HKEY hive, const wchar_t* name)
{
    RegKey key = OpenRunKey(hive);
    DWORD type = 0xdeadbeef;
    DWORD size = 0xdeadbeef;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    StoredValue value{type, std::vector<BYTE>(size)};
    if (RegQueryValueExW(key.get(), name, nullptr, &type, value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

void WriteValue(HKEY hive, const wchar_t* name, const StoredValue& value)
{
    RegKey key = OpenRunKey(hive);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
}

void DeleteValue(HKEY hive, const wchar_t* name)
{
    RegKey key = OpenRunKey(hive);
    RegDeleteValueW(key.get(), name);
}

// The text with its terminator, as RegSetValueExW expects string data.
StoredValue Text(DWORD type, const std::wstring& text)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return StoredValue{type, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

// The first `bytes` of the text, without its terminator.
StoredValue Unterminated(const std::wstring& text, size_t bytes)
{
    const BYTE* data = reinterpret_cast<const BYTE*>(text.c_str());
    return StoredValue{REG_SZ, std::vector<BYTE>(data, data + bytes)};
}

// Fills the stack just below the caller's frame with the pattern, where the locals of the
// caller's next call will lie: what an earlier call there would have left behind.
[[gnu::noinline]] void LeaveOnTheStack(const std::wstring& pattern)
{
    [[maybe_unused]] volatile wchar_t area[4096];
    for (size_t i = 0; i < 4096; ++i)
        area[i] = pattern[i % pattern.size()];
}

// The Run values under both hives are the user's: whatever was there is put back.
class Autorun : public testing::Test {
protected:
    void SetUp() override
    {
        m_savedUser = ReadValue(HKEY_CURRENT_USER, kValueName);
        m_savedMachine = ReadValue(HKEY_LOCAL_MACHINE, kValueName);
        DeleteValue(HKEY_CURRENT_USER, kValueName);
        DeleteValue(HKEY_LOCAL_MACHINE, kValueName);
    }

    void TearDown() override
    {
        Restore(HKEY_CURRENT_USER, m_savedUser);
        Restore(HKEY_LOCAL_MACHINE, m_savedMachine);
        DeleteValue(HKEY_CURRENT_USER, kSiblingName);
    }

    // What the main window does on an /autorun start.
    static void RemoveIfRegistered()
    {
        if (IsAutorunRegistered())
            RemoveAutorunRegistration();
    }

private:
    static void Restore(HKEY hive, const std::optional<StoredValue>& saved)
    {
        if (saved)
            WriteValue(hive, kValueName, *saved);
        else
            DeleteValue(hive, kValueName);
    }

    std::optional<StoredValue> m_savedUser;
    std::optional<StoredValue> m_savedMachine;
};

TEST_F(Autorun, NoValueIsNotRegisteredAndRemovalTouchesNothingElse)
{
    WriteValue(HKEY_CURRENT_USER, kSiblingName, Text(REG_SZ, L"C:\\other.exe /autorun"));
    EXPECT_FALSE(IsAutorunRegistered());
    RemoveAutorunRegistration();
    EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kValueName));
    EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, kSiblingName));
}

TEST_F(Autorun, OnlyARegSzOfAtMost260CharactersWithTheSwitchCounts)
{
    const std::wstring exe = L"\"C:\\Program Files\\Tovarin\\setup.exe\"";
    const std::wstring fill260 = std::wstring(260 - exe.size() - 9, L'x');
    const struct {
        const char* name;
        StoredValue value;
        bool registered;
    } cases[] = {
        {"switch first", Text(REG_SZ, exe + L" /autorun"), true},
        {"switch later", Text(REG_SZ, exe + L" /quiet /autorun"), true},
        {"switch inside a word", Text(REG_SZ, exe + L" x/autorunning"), true},
        {"no switch", Text(REG_SZ, exe), false},
        {"switch in capitals", Text(REG_SZ, exe + L" /AUTORUN"), false},
        {"REG_EXPAND_SZ", Text(REG_EXPAND_SZ, L"%ProgramFiles%\\setup.exe /autorun"), false},
        {"REG_BINARY", Text(REG_BINARY, exe + L" /autorun"), false},
        {"exactly 260 characters", Text(REG_SZ, exe + fill260 + L" /autorun"), true},
        {"261 characters", Text(REG_SZ, exe + fill260 + L"x /autorun"), false},
        {"far longer", Text(REG_SZ, exe + L" /autorun" + std::wstring(1000, L' ')), false},
    };
    ASSERT_EQ((exe + fill260 + L" /autorun").size(), 260u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteValue(HKEY_CURRENT_USER, kValueName, c.value);
        EXPECT_EQ(IsAutorunRegistered(), c.registered);
        RemoveIfRegistered();
        const std::optional<StoredValue> left = ReadValue(HKEY_CURRENT_USER, kValueName);
        EXPECT_EQ(left.has_value(), !c.registered);
        if (left) {
            EXPECT_EQ(left->type, c.value.type);
            EXPECT_EQ(left->data, c.value.data);
        }
    }
}

TEST_F(Autorun, TextStoredWithoutTerminatorIsReadToItsEndAndNoFurther)
{
    const std::wstring exe = L"C:\\setup.exe";
    const struct {
        const char* name;
        std::wstring text;
        size_t bytes;
        bool registered;
    } cases[] = {
        {"switch at the end", exe + L" /autorun", (exe.size() + 9) * sizeof(wchar_t), true},
        // The 261st character is cut: the text is at most 260 characters long.
        {"261 characters, switch at the end", exe + std::wstring(261 - exe.size() - 8, L' ') + L"/autorun",
         261 * sizeof(wchar_t), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteValue(HKEY_CURRENT_USER, kValueName, Unterminated(c.text, c.bytes));
        EXPECT_EQ(IsAutorunRegistered(), c.registered);
    }

    // Under Wine, RegQueryValueExW terminates data of even length itself. Data of odd length
    // gets its terminator one byte late: the character after the half one keeps the high byte
    // of what the buffer held before, and the text runs on into those stale contents. Left
    // here by an earlier call: a character with a high byte, then the switch. Every offset of
    // them against the text's end is tried.
    const std::wstring stale = L"\u4E2D/autorun";
    for (size_t chars = 20; chars < 20 + stale.size(); ++chars) {
        SCOPED_TRACE(testing::Message() << chars << " characters and one byte");
        WriteValue(HKEY_CURRENT_USER, kValueName, Unterminated(std::wstring(chars + 1, L'a'), chars * 2 + 1));
        LeaveOnTheStack(stale);
        const bool registered = IsAutorunRegistered();  // nothing in between may use the stack
        EXPECT_FALSE(registered);
    }
}

TEST_F(Autorun, MachineWideValueIsNeitherReadNorDeleted)
{
    const StoredValue machine = Text(REG_SZ, L"C:\\setup.exe /autorun");
    WriteValue(HKEY_LOCAL_MACHINE, kValueName, machine);
    EXPECT_FALSE(IsAutorunRegistered());
    RemoveAutorunRegistration();
    const std::optional<StoredValue> left = ReadValue(HKEY_LOCAL_MACHINE, kValueName);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->data, machine.data);

    WriteValue(HKEY_CURRENT_USER, kValueName, machine);
    RemoveIfRegistered();
    EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kValueName));
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, kValueName));
}

}  // namespace
