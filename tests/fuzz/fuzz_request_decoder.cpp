// Fuzz target: decodeRequest, which every socket line passes through. Whatever it accepts must
// encode again and decode to the same request.
#include "Fuzz.h"
#include "ipc/Messages.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    const auto request = decodeRequest(input);
    (void)decodeResponse(input);
    (void)decodeStatusReport(input);
    if (!request) {
        return 0;
    }
    const auto text = encode(*request);
    if (!text) {
        return 0; // strings that are not UTF-8 are refused by the encoder, never altered
    }
    const auto again = decodeRequest(text->view());
    require(again && *again == *request);
    return 0;
}
