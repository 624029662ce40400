#include "net/download_logic.h"

#include <algorithm>

namespace velt {

std::wstring installerFileNameFromUrl(const std::wstring& url)
{
    const std::wstring::size_type slash = url.rfind(L'/');
    return slash == std::wstring::npos ? url : url.substr(slash + 1);
}

std::uint32_t pickProxyAuthScheme(std::uint32_t supported)
{
    // Basic comes first, ahead of Negotiate: it is what an authenticating proxy most often
    // offers alongside the others, and the credentials held here are plain user and password.
    for (std::uint32_t scheme : {kAuthBasic, kAuthNegotiate, kAuthNtlm, kAuthPassport, kAuthDigest})
        if (supported & scheme) return scheme;
    return 0;
}

bool isSecureFailure(std::uint32_t error)
{
    for (std::uint32_t code : {12175u, 12037u, 12038u, 12045u, 12057u, 12157u, 12169u, 12170u, 12179u})
        if (error == code) return true;
    return false;
}

float downloadPercent(std::uint64_t received, std::uint32_t contentLength)
{
    const float got = static_cast<float>(static_cast<double>(received));
    const float total = static_cast<float>(static_cast<double>(contentLength));
    return got * 100.0f / total;
}

std::uint32_t ReadSizer::wanted(std::uint32_t available) const
{
    if (available == 0) return 0;
    return std::min(std::max(available, extra_), kMaxReadSize);
}

void ReadSizer::update(std::uint32_t asked, std::uint64_t elapsedMs)
{
    if (elapsedMs > kQuickMs) {
        extra_ = 0;
        return;
    }
    const std::uint64_t grown = static_cast<std::uint64_t>(std::max(asked, kMinExtra)) * 2;
    extra_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(grown, kMaxReadSize));
}

bool bodyComplete(const BodyOutcome& outcome)
{
    if (outcome.readFailed || outcome.writeFailed) return false;
    return !outcome.lengthKnown || outcome.received == outcome.contentLength;
}

}  // namespace velt
