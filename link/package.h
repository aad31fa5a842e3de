#pragma once

// The frame every message travels in, both ways:
//   A8 E2 38 20 | length | msgId | direction | payload[length] | checksum
// The checksum is the 8-bit sum of length, msgId, direction and the payload; the sync word is
// not summed. Frames we send carry direction 0xA5, frames we accept must carry 0x5A.
// Plain C++ on purpose: the parser runs on every received byte and is fuzzed without Qt.

#include <cstdint>

constexpr std::uint8_t PACKAGE_SYNC[4] = {0xA8, 0xE2, 0x38, 0x20};
constexpr std::uint8_t PACKAGE_DIR_TO_DEVICE = 0xA5;
constexpr std::uint8_t PACKAGE_DIR_FROM_DEVICE = 0x5A;
constexpr int PACKAGE_OVERHEAD = 8;
constexpr int PACKAGE_MAX_PAYLOAD = 255;

// Receive context of one byte stream; zero-initialise it before the first byte.
struct PackageParser {
    std::uint8_t payload[PACKAGE_MAX_PAYLOAD];
    std::uint8_t length;
    std::uint8_t msgId;
    std::uint8_t direction;
    std::uint8_t rxState;
    std::uint8_t rxCount;
};

// Builds one frame at the start of buffer. Returns length + 8, or -1 (nothing written) when the
// frame does not fit into capacity bytes.
int CreatePackage(std::uint8_t *buffer, std::uint16_t capacity, std::uint8_t msgId,
                  const std::uint8_t *payload, std::uint8_t length, std::uint8_t direction);

// Consumes one byte. Returns -1 while no frame is complete, -2 when the direction byte is not
// 0x5A, -3 when the checksum does not match, and 0 when a checked frame stands in the parser.
int ParsePackageByte(std::uint8_t byte, PackageParser *parser);
