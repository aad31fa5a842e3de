// Arbitrary bytes from the line through the frame parser, and every accepted frame through the
// answer decoder, as the serial worker does with what it reads.

#include "messages.h"
#include "package.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    PackageParser parser{};
    for (std::size_t i = 0; i < size; ++i) {
        const int result = ParsePackageByte(data[i], &parser);
        if (result < -3 || result > 0 || parser.rxState > 7)
            std::abort();
        if (result != 0)
            continue;
        if (parser.direction != PACKAGE_DIR_FROM_DEVICE)
            std::abort();
        const DecodedAnswer answer = DecodeAnswer(parser.msgId, parser.payload, parser.length);
        if (answer.msgId != parser.msgId)
            std::abort();
        // A frame built from what was accepted must carry the same bytes back.
        std::uint8_t frame[PACKAGE_MAX_PAYLOAD + PACKAGE_OVERHEAD];
        const int built = CreatePackage(frame, sizeof frame, parser.msgId, parser.payload,
                                        parser.length, parser.direction);
        if (built != parser.length + PACKAGE_OVERHEAD)
            std::abort();
        PackageParser again{};
        for (int j = 0; j < built; ++j) {
            if (ParsePackageByte(frame[j], &again) != (j + 1 == built ? 0 : -1))
                std::abort();
        }
    }
    return 0;
}
