#include "install/update_check.h"

#include <shellapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>

#include "base/file_replace.h"
#include "base/program_version.h"
#include "base/text.h"
#include "net/servers.h"
#include "net/signature.h"

namespace {

constexpr const wchar_t* kCurrentVersion = kProgramVersion;
constexpr wchar_t kLocalCopyName[] = L"tovarinup.txt";
constexpr wchar_t kSignatureSuffix[] = L".sig";
constexpr wchar_t kSection[] = L"Update";
constexpr wchar_t kVersionKey[] = L"Version";
constexpr wchar_t kUpdateFileKey[] = L"UpdateFile";
constexpr wchar_t kInfoKey[] = L"Info";
constexpr wchar_t kBuiltInPrompt[] = L"系统检测到有更新的版本，是否立即体验！";
constexpr wchar_t kPromptTitle[] = L"Tovarin升级提示";
constexpr UINT kPromptStyle = MB_YESNO | MB_ICONINFORMATION;
constexpr DWORD kPathChars = 260;
constexpr DWORD kValueChars = 260;

// The text of a description saved as UTF-8, with or without its mark; nothing when the bytes
// are not valid UTF-8, or are plain ASCII, which every code page reads alike.
std::optional<std::wstring> DecodeUtf8Description(const std::string& bytes)
{
    const bool marked = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::string body = marked ? bytes.substr(3) : bytes;
    if (!marked && std::all_of(body.begin(), body.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::nullopt;
    if (body.empty())
        return std::wstring();
    const int size = static_cast<int>(body.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, body.data(), size, nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, body.data(), size, &text[0], length);
    return text;
}

// The INI reader takes a file without a byte-order mark for the ANSI code page (GBK on a
// Chinese Windows), and only UTF-16 with its mark for Unicode on every Windows. A description
// in UTF-8 is therefore rewritten as UTF-16 with its mark before it is read, replaced in one
// step; UTF-16 and anything that is not UTF-8 are left for the reader as they are.
void RewriteUtf8DescriptionAsUtf16(const std::wstring& path)
{
    std::string bytes;
    if (!ReadFileBytes(path, bytes) || bytes.compare(0, 2, "\xFF\xFE") == 0)
        return;
    const std::optional<std::wstring> text = DecodeUtf8Description(bytes);
    if (!text)
        return;
    const std::wstring marked = L"\xFEFF" + *text;
    ReplaceFileContents(path, std::string(reinterpret_cast<const char*>(marked.data()), marked.size() * sizeof(wchar_t)));
}

std::wstring ReadUpdateValue(const std::wstring& path, const wchar_t* key, const std::wstring& fallback)
{
    wchar_t value[kValueChars] = {};
    GetPrivateProfileStringW(kSection, key, fallback.c_str(), value, kValueChars, path.c_str());
    return value;
}

bool AskToOpenUpdatePage(HWND owner, const std::wstring& prompt)
{
    return MessageBoxW(owner, prompt.c_str(), kPromptTitle, kPromptStyle) == IDYES;
}

void OpenUpdatePage(const std::wstring& address)
{
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

// The file at `url`, fresh: never one from the URL cache or an earlier run. It passes
// through `scratchPath`, a name of this process's own, removed at once.
bool FetchAfresh(const std::wstring& url, const std::wstring& scratchPath, std::string& bytes)
{
    DeleteUrlCacheEntryW(url.c_str());
    const bool fetched = SUCCEEDED(URLDownloadToFileW(nullptr, url.c_str(), scratchPath.c_str(), 0, nullptr)) &&
                         ReadFileBytes(scratchPath, bytes);
    DeleteFileW(scratchPath.c_str());
    return fetched;
}

// Whether the publisher's signature, fetched beside the description, verifies over the
// description's bytes as they arrived; it is then kept beside the local copy.
bool DescriptionIsSigned(const std::wstring& localPath, const std::string& bytes, const P256PublicKey& key)
{
    const std::wstring signaturePath = localPath + kSignatureSuffix;
    std::string signature;
    if (!FetchAfresh(UpdateDescriptionUrl() + kSignatureSuffix, OwnTemporaryName(signaturePath), signature) ||
        VerifySignature(bytes, signature, key) != SignatureVerdict::Good)
        return false;
    ReplaceFileContents(signaturePath, signature);
    return true;
}

void CheckForUpdate(const UpdateCheckRequest& request)
{
    const std::wstring localPath = UpdateDescriptionPath();
    if (localPath.empty())
        return;
    std::string bytes;
    if (!FetchAfresh(UpdateDescriptionUrl(), OwnTemporaryName(localPath), bytes))
        return;
    if (request.publisherKey && !DescriptionIsSigned(localPath, bytes, *request.publisherKey))
        return;
    // The platform's INI reader reads files only: the verified bytes go in place whole.
    if (!ReplaceFileContents(localPath, bytes))
        return;
    const UpdateDescription description = ReadUpdateDescription(localPath);
    if (!IsNewerThanCurrentVersion(description.version))
        return;
    if (AskToOpenUpdatePage(request.owner, UpdatePromptText(description.info)))
        OpenUpdatePage(UpdatePageToOpen(description.updateFile));
}

}  // namespace

std::wstring UpdateDescriptionPath()
{
    wchar_t folder[kPathChars] = {};
    const DWORD length = GetTempPathW(kPathChars, folder);
    // Without this the copy would land in whatever the current folder is.
    if (length == 0 || length >= kPathChars)
        return std::wstring();
    wchar_t path[kPathChars + 16] = {};
    // %ls, not %s: MinGW's standard swprintf reads %s as a narrow string.
    swprintf(path, sizeof(path) / sizeof(path[0]), L"%ls%ls", folder, kLocalCopyName);
    return path;
}

UpdateDescription ReadUpdateDescription(const std::wstring& path)
{
    RewriteUtf8DescriptionAsUtf16(path);
    UpdateDescription description;
    description.version = ReadUpdateValue(path, kVersionKey, kCurrentVersion);
    description.updateFile = ReadUpdateValue(path, kUpdateFileKey, UpdatePageUrl());
    description.info = ReadUpdateValue(path, kInfoKey, L"");
    return description;
}

int CompareVersionText(const std::wstring& left, const std::wstring& right)
{
    const size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
        const wchar_t l = AsciiLower(left[i]);
        const wchar_t r = AsciiLower(right[i]);
        if (l != r)
            return l < r ? -1 : 1;
    }
    if (left.size() == right.size())
        return 0;
    return left.size() < right.size() ? -1 : 1;
}

bool IsNewerThanCurrentVersion(const std::wstring& version)
{
    return CompareVersionText(version, kCurrentVersion) > 0;
}

std::wstring UpdatePromptText(const std::wstring& info)
{
    return info.empty() ? kBuiltInPrompt : info;
}

std::wstring UpdatePageToOpen(const std::wstring& updateFile)
{
    if (StartsWithIgnoringAsciiCase(updateFile, L"http://") || StartsWithIgnoringAsciiCase(updateFile, L"https://"))
        return updateFile;
    return UpdatePageUrl();
}

DWORD WINAPI UpdateCheckThread(LPVOID request)
{
    const std::unique_ptr<UpdateCheckRequest> owned(static_cast<UpdateCheckRequest*>(request));
    const HRESULT com = CoInitialize(nullptr);
    CheckForUpdate(*owned);
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}
