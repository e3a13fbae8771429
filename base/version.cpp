#include "base/version.h"

#include <vector>

namespace {

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// Each number's digits without their leading zeros ("0" and "00" give ""), so that numbers
// of any length compare by length first, then digit by digit.
std::vector<std::wstring> VersionNumbers(const std::wstring& version)
{
    std::vector<std::wstring> numbers;
    size_t at = version.find_first_not_of(L" \t\r\n");
    while (at != std::wstring::npos && at < version.size() && IsDigit(version[at])) {
        const size_t begin = at;
        while (at < version.size() && IsDigit(version[at]))
            ++at;
        const std::wstring digits = version.substr(begin, at - begin);
        const size_t significant = digits.find_first_not_of(L'0');
        numbers.push_back(significant == std::wstring::npos ? std::wstring() : digits.substr(significant));
        if (at + 1 >= version.size() || version[at] != L'.' || !IsDigit(version[at + 1]))
            break;
        ++at;
    }
    return numbers;
}

int CompareNumbers(const std::wstring& left, const std::wstring& right)
{
    if (left.size() != right.size())
        return left.size() < right.size() ? -1 : 1;
    const int order = left.compare(right);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool HasVersionNumber(const std::wstring& version)
{
    return !VersionNumbers(version).empty();
}

std::optional<int> CompareVersions(const std::wstring& left, const std::wstring& right)
{
    const std::vector<std::wstring> l = VersionNumbers(left);
    const std::vector<std::wstring> r = VersionNumbers(right);
    if (l.empty() || r.empty())
        return std::nullopt;
    const std::wstring zero;
    for (size_t i = 0; i < l.size() || i < r.size(); ++i) {
        const int order = CompareNumbers(i < l.size() ? l[i] : zero, i < r.size() ? r[i] : zero);
        if (order != 0)
            return order;
    }
    return 0;
}
