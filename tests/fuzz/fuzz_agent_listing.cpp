// Fuzz target: the agent's answer to a listing, and the parsers of ssh-add and ssh-keygen listings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ssh/AgentClient.h"
#include "ssh/AgentProtocol.h"
#include "ssh/KeyScanner.h"

using namespace vantorelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const auto& fingerprint : AgentClient::parseFingerprints(input)) {
        if (!fingerprint.starts_with("SHA256:") || input.find(fingerprint) == std::string_view::npos) {
            std::abort();
        }
    }
    (void)KeyScanner::parseListing(input);
    if (const auto listed = AgentProtocol::fingerprints(input)) {
        for (const auto& fingerprint : *listed) {
            if (!fingerprint.starts_with("SHA256:")) {
                std::abort();
            }
        }
    }
    return 0;
}
