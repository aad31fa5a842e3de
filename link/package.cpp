#include "package.h"

#include <cstring>

namespace
{

enum RxState : std::uint8_t {
    WaitSync0 = 0,
    WaitSync1,
    WaitSync2,
    WaitSync3,
    WaitLength,
    WaitMsgId,
    WaitDirection,
    WaitPayload, // payload bytes, then the checksum
};

std::uint8_t SumOf(std::uint8_t length, std::uint8_t msgId, std::uint8_t direction,
                   const std::uint8_t *payload)
{
    std::uint8_t sum = static_cast<std::uint8_t>(length + msgId + direction);
    for (int i = 0; i < length; ++i)
        sum = static_cast<std::uint8_t>(sum + payload[i]);
    return sum;
}

// Inside the sync word a stray 0xA8 may itself be the start of the real sync word, so it
// restarts the match instead of throwing the byte away.
std::uint8_t AfterSyncMismatch(std::uint8_t byte)
{
    return byte == PACKAGE_SYNC[0] ? WaitSync1 : WaitSync0;
}

} // namespace

int CreatePackage(std::uint8_t *buffer, std::uint16_t capacity, std::uint8_t msgId,
                  const std::uint8_t *payload, std::uint8_t length, std::uint8_t direction)
{
    if (length + 7 >= capacity)
        return -1;
    std::memcpy(buffer, PACKAGE_SYNC, sizeof PACKAGE_SYNC);
    buffer[4] = length;
    buffer[5] = msgId;
    buffer[6] = direction;
    if (length > 0)
        std::memcpy(buffer + 7, payload, length);
    buffer[7 + length] = SumOf(length, msgId, direction, buffer + 7);
    return length + PACKAGE_OVERHEAD;
}

int ParsePackageByte(std::uint8_t byte, PackageParser *parser)
{
    switch (parser->rxState) {
    case WaitSync0:
        if (byte == PACKAGE_SYNC[0])
            parser->rxState = WaitSync1;
        return -1;
    case WaitSync1:
    case WaitSync2:
    case WaitSync3:
        if (byte == PACKAGE_SYNC[parser->rxState])
            ++parser->rxState;
        else
            parser->rxState = AfterSyncMismatch(byte);
        return -1;
    case WaitLength:
        parser->length = byte;
        parser->rxState = WaitMsgId;
        return -1;
    case WaitMsgId:
        parser->msgId = byte;
        parser->rxState = WaitDirection;
        return -1;
    case WaitDirection:
        parser->direction = byte;
        if (byte != PACKAGE_DIR_FROM_DEVICE) {
            parser->rxState = WaitSync0;
            return -2;
        }
        parser->rxCount = 0;
        parser->rxState = WaitPayload;
        return -1;
    case WaitPayload:
        if (parser->rxCount < parser->length) {
            parser->payload[parser->rxCount++] = byte;
            return -1;
        }
        parser->rxState = WaitSync0;
        return byte == SumOf(parser->length, parser->msgId, parser->direction, parser->payload)
                   ? 0
                   : -3;
    default:
        parser->rxState = WaitSync0;
        return -1;
    }
}
