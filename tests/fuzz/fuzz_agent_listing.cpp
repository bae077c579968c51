// Fuzz target: the agent's answer to a listing, and the parsers of ssh-add and ssh-keygen listings.
#include "Fuzz.h"
#include "ssh/AgentClient.h"
#include "ssh/AgentProtocol.h"
#include "ssh/KeyScanner.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    for (const auto& fingerprint : AgentClient::parseFingerprints(input)) {
        require(fingerprint.starts_with("SHA256:") && input.find(fingerprint) != std::string_view::npos);
    }
    (void)KeyScanner::parseListing(input);
    if (const auto listed = AgentProtocol::fingerprints(input)) {
        for (const auto& fingerprint : *listed) {
            require(fingerprint.starts_with("SHA256:"));
        }
    }
    return 0;
}
