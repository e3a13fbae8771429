#pragma once
// The https fronts that tests/tls/with_https_fronts.sh puts before a loopback http server of
// the test's own, each with a certificate of its own: found in the environment it sets.

#include <windows.h>

#include <optional>
#include <string>

struct HttpsFronts {
    unsigned short backend;    // where the test serves plain http; every front forwards there
    unsigned short good;       // localhost, from the trusted test CA
    unsigned short wrongName;  // another host's certificate
    unsigned short expired;
    unsigned short untrusted;  // from a CA nobody trusts
    unsigned short tls13Only;  // the good certificate, over nothing older than TLS 1.3
};

inline unsigned short PortFromEnvironment(const wchar_t* name)
{
    wchar_t value[16] = {};
    if (!GetEnvironmentVariableW(name, value, 16))
        return 0;
    return static_cast<unsigned short>(std::wcstoul(value, nullptr, 10));
}

// Nothing when the test runs without the fronts.
inline std::optional<HttpsFronts> HttpsFrontsFromEnvironment()
{
    const HttpsFronts fronts = {PortFromEnvironment(L"HTTPS_TEST_BACKEND_PORT"), PortFromEnvironment(L"HTTPS_TEST_PORT_GOOD"),
                                PortFromEnvironment(L"HTTPS_TEST_PORT_WRONG_NAME"),
                                PortFromEnvironment(L"HTTPS_TEST_PORT_EXPIRED"),
                                PortFromEnvironment(L"HTTPS_TEST_PORT_UNTRUSTED"),
                                PortFromEnvironment(L"HTTPS_TEST_PORT_TLS13_ONLY")};
    if (!fronts.backend || !fronts.good || !fronts.wrongName || !fronts.expired || !fronts.untrusted ||
        !fronts.tls13Only)
        return std::nullopt;
    return fronts;
}

// Certificates name localhost, never the address: Wine refuses a name given as an address.
inline std::string HttpsUrl(unsigned short port, const std::string& path)
{
    return "https://localhost:" + std::to_string(port) + path;
}

inline std::wstring WideUrl(const std::string& url)
{
    return std::wstring(url.begin(), url.end());
}
