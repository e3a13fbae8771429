#pragma once
// Self-update check: fetches the update description from the update server and, when it
// announces a newer version, offers to open the update page in the browser.

#include <windows.h>

#include <string>

#include "net/public_key.h"

// The update description's "Update" section, defaults filled in.
struct UpdateDescription {
    std::wstring version;     // "1.1.0" (no update) when missing
    std::wstring updateFile;  // the update server's page when missing
    std::wstring info;        // prompt text; empty when missing
};

// The local copy: the temporary folder followed directly by "tovarinup.txt". Empty when
// there is no temporary folder that fits, and then there is no check.
std::wstring UpdateDescriptionPath();

// A description saved as UTF-8 (with or without its byte-order mark) is rewritten in place
// as UTF-16 with its mark first, the one Unicode form the platform's INI reader knows on
// every Windows; UTF-16 with its mark, and bytes that are not UTF-8 (the ANSI code page),
// are read as they are.
UpdateDescription ReadUpdateDescription(const std::wstring& path);

// Text order with ASCII letters folded to lower case, by code unit; a prefix sorts first.
// Negative, zero or positive.
int CompareVersionText(const std::wstring& left, const std::wstring& right);

// Not numeric: "1.10.0" and "10.0" are newer than "1.1.0", "1.1" is older.
bool IsNewerThanCurrentVersion(const std::wstring& version);

// "Info" when it has text, otherwise the built-in prompt.
std::wstring UpdatePromptText(const std::wstring& info);

// The description arrives over plain HTTP, so only a web address may be opened from it; any
// other value (a local or UNC path, a program) gives the update server's page.
std::wstring UpdatePageToOpen(const std::wstring& updateFile);

struct UpdateCheckRequest {
    HWND owner;  // the main window, the owner of the Yes/No prompt
    // Borrowed, outlives the thread (the build's key); null in an unkeyed build. With a key,
    // the prompt appears only when the description's signature, fetched from its URL with
    // ".sig" added, verifies over the description's bytes.
    const P256PublicKey* publisherKey;
};

// Thread body, started once per start of the program with CreateThread; the argument is a
// UpdateCheckRequest made with new, which the thread owns and deletes. Returns 0. Every
// failure is silent.
DWORD WINAPI UpdateCheckThread(LPVOID request);
