#include "net/failure_reason.h"

FailureReason ReasonOf(const LinkReport& report)
{
    switch (report.fault) {
    case LinkFault::None: return {};
    case LinkFault::NoAnswer:
        if (CertificateFaultWords(report.error))
            return {FailureKind::Certificate, report.error};
        return {FailureKind::Network, report.error};
    case LinkFault::Status: return {FailureKind::HostStatus, report.status};
    case LinkFault::NotHttp:
    case LinkFault::NoContentLength:
    case LinkFault::TooLarge:
    case LinkFault::Downgraded:
    case LinkFault::RedirectLoop: break;
    }
    return {FailureKind::BadLink, 0};
}

FailureReason ReasonOf(const DownloadReport& report)
{
    switch (report.fault) {
    case DownloadFault::None: return {};
    case DownloadFault::Request: return ReasonOf(report.request);
    case DownloadFault::CutShort: return {FailureKind::Network, 0};
    case DownloadFault::WriteFailed:
    case DownloadFault::MoveFailed: return {FailureKind::Disk, report.error};
    case DownloadFault::HashMismatch: return {FailureKind::HashMismatch, 0};
    case DownloadFault::WebPage: return {FailureKind::WebPage, 0};
    case DownloadFault::SignerRefused: return ReasonOf(report.signer);
    case DownloadFault::Cancelled: break;
    }
    return {FailureKind::Cancelled, 0};
}

FailureReason ReasonOf(const SignerCheck& check)
{
    switch (check.verdict) {
    case SignerVerdict::Vouched: return {};
    case SignerVerdict::Unsigned: return {FailureKind::Unsigned, 0};
    case SignerVerdict::BadSignature: return {FailureKind::BadSignature, 0};
    case SignerVerdict::OtherSigner: return {FailureKind::OtherSigner, 0, check.signer, check.expected};
    case SignerVerdict::Untrusted: return {FailureKind::UntrustedSigner, 0};
    case SignerVerdict::Revoked: break;
    }
    return {FailureKind::RevokedSigner, 0};
}

const char* CertificateFaultWords(DWORD error)
{
    switch (error) {
    case ERROR_INTERNET_INVALID_CA: return "certificate not trusted";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "certificate for another name";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "certificate expired or not yet valid";
    case ERROR_INTERNET_SEC_CERT_REVOKED: return "certificate revoked";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return "certificate revocation could not be checked";
    case ERROR_INTERNET_SEC_CERT_NO_REV: return "certificate without revocation information";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT: return "certificate not valid";
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED: return "the host asks for a client certificate";
    // What Windows 7 answers a host that speaks only TLS 1.2 or later while its Internet
    // Options offer TLS 1.0 alone.
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return "no TLS version could be agreed";
    default: return nullptr;
    }
}

std::wstring FailureWords(const FailureReason& reason)
{
    switch (reason.kind) {
    case FailureKind::None: return std::wstring();
    case FailureKind::Network: return L"请检查网络连接，然后重试";
    case FailureKind::Certificate: {
        const std::string words = CertificateFaultWords(reason.code);
        return L"服务器证书不可信：" + std::wstring(words.begin(), words.end());
    }
    case FailureKind::HostStatus: return L"服务器回答 " + std::to_wstring(reason.code);
    case FailureKind::WebPage: return L"网络返回的是网页而不是安装程序，可能需要先登录";
    case FailureKind::HashMismatch: return L"文件校验失败";
    case FailureKind::Unsigned: return L"安装程序没有数字签名";
    case FailureKind::BadSignature: return L"数字签名无效";
    case FailureKind::OtherSigner: return L"签名者是 " + reason.signer + L"，不是 " + reason.expectedSigner;
    case FailureKind::UntrustedSigner: return L"签名证书不受信任";
    case FailureKind::RevokedSigner: return L"签名证书已被吊销";
    case FailureKind::BadLink: return L"下载地址无效";
    case FailureKind::Disk: return L"无法写入文件";
    case FailureKind::Cancelled: break;
    }
    return L"已取消";
}
