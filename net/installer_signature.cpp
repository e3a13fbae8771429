#include "net/installer_signature.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "base/unique_handle.h"

namespace {

// Revocation answers that say only that nobody could be asked: never a refusal, or an
// offline machine could install nothing signed.
bool IsRevocationUnknown(LONG status)
{
    return status == static_cast<LONG>(CRYPT_E_REVOCATION_OFFLINE) ||
           status == static_cast<LONG>(CRYPT_E_NO_REVOCATION_CHECK) ||
           status == static_cast<LONG>(CERT_E_REVOCATION_FAILURE);
}

// WinVerifyTrust's answer as a verdict; Vouched means "go on to the chain".
SignerVerdict VerdictOfTrustStatus(LONG status)
{
    if (status == ERROR_SUCCESS || IsRevocationUnknown(status))
        return SignerVerdict::Vouched;
    // A file too short for any format's header: Wine answers this where Windows says
    // TRUST_E_SUBJECT_FORM_UNKNOWN. Either way it carries no signature.
    if (status == ERROR_INVALID_PARAMETER)
        return SignerVerdict::Unsigned;
    switch (static_cast<HRESULT>(status)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN: return SignerVerdict::Unsigned;
    case CRYPT_E_REVOKED: return SignerVerdict::Revoked;
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case CERT_E_WRONG_USAGE:
    case TRUST_E_EXPLICIT_DISTRUST: return SignerVerdict::Untrusted;
    default: return SignerVerdict::BadSignature;
    }
}

// The signer's chain as the Authenticode policy judges it. WinVerifyTrust alone is not enough:
// Wine's answers 0 for a self-signed signer, where the chain says what Windows says.
SignerVerdict VerdictOfChain(PCCERT_CHAIN_CONTEXT chain)
{
    if (!chain)
        return SignerVerdict::Untrusted;
    if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED)
        return SignerVerdict::Revoked;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status))
        return SignerVerdict::Untrusted;
    if (status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED))
        return SignerVerdict::Revoked;
    return status.dwError == 0 || IsRevocationUnknown(static_cast<LONG>(status.dwError)) ? SignerVerdict::Vouched
                                                                                           : SignerVerdict::Untrusted;
}

std::wstring SimpleDisplayName(PCCERT_CONTEXT certificate)
{
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring name(length, L'\0');
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], length);
    name.resize(length - 1);
    return name;
}

// One WinVerifyTrust verification, whose state is released with it.
class TrustVerification {
public:
    TrustVerification(HANDLE file, const std::wstring& path)
    {
        m_file.cbStruct = sizeof(m_file);
        m_data.cbStruct = sizeof(m_data);
        m_file.pcwszFilePath = path.c_str();
        m_file.hFile = file;
        m_data.dwUIChoice = WTD_UI_NONE;
        m_data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        m_data.dwUnionChoice = WTD_CHOICE_FILE;
        m_data.pFile = &m_file;
        m_data.dwStateAction = WTD_STATEACTION_VERIFY;
        m_data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN;
        m_status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_action, &m_data);
    }
    ~TrustVerification()
    {
        m_data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_action, &m_data);
    }
    TrustVerification(const TrustVerification&) = delete;
    TrustVerification& operator=(const TrustVerification&) = delete;

    LONG status() const { return m_status; }
    // The signer's chain and certificate, borrowed from the verification's state; null when
    // no signature was read.
    const CRYPT_PROVIDER_SGNR* Signer() const
    {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(m_data.hWVTStateData);
        return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    }

private:
    GUID m_action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO m_file = {};
    WINTRUST_DATA m_data = {};
    LONG m_status = 0;
};

}  // namespace

bool SameSignerName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

SignerCheck CheckInstallerSigner(HANDLE file, const std::wstring& path, const std::wstring& expected)
{
    SignerCheck check;
    check.expected = expected;
    const TrustVerification verification(file, path);
    check.verdict = VerdictOfTrustStatus(verification.status());
    const CRYPT_PROVIDER_SGNR* signer = check.verdict == SignerVerdict::Unsigned ? nullptr : verification.Signer();
    if (signer && signer->csCertChain > 0 && signer->pasCertChain[0].pCert)
        check.signer = SimpleDisplayName(signer->pasCertChain[0].pCert);
    if (check.verdict == SignerVerdict::Vouched)
        check.verdict = signer ? VerdictOfChain(signer->pChainContext) : SignerVerdict::BadSignature;
    if (check.verdict == SignerVerdict::Vouched && !expected.empty() && !SameSignerName(check.signer, expected))
        check.verdict = SignerVerdict::OtherSigner;
    return check;
}

SignerCheck CheckInstallerSignerOfFile(const std::wstring& path, const std::wstring& expected)
{
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        SignerCheck check;
        check.verdict = SignerVerdict::BadSignature;
        check.expected = expected;
        return check;
    }
    return CheckInstallerSigner(file.get(), path, expected);
}
