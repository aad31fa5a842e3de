#include "messages.h"

#include <cstring>

namespace
{

constexpr int SERIAL_NUMBER_FIELD = 19;

// Bytes an answer must carry to be decoded: up to the last fixed field read. The parser's payload
// area keeps what longer frames left behind the received bytes, so nothing past the received
// length is read; the serial number text simply ends where the received bytes do.
int MinimumSize(quint8 msgId)
{
    switch (msgId) {
    case MSG_SET_SN_ACK:
        return 1;
    case MSG_GET_SN_ACK:
        return 0;
    case MSG_GET_BATTERY_INFO_ACK:
        return int(offsetof(stru_BatteryInfo, Soc)) + 1;
    case MSG_GET_VERSION_ACK:
        return 2;
    case MSG_GET_INFO_ACK:
        return 23;
    default:
        return -1;
    }
}

QString SerialNumberText(const quint8 *field, int received)
{
    const int available = qMin(received, SERIAL_NUMBER_FIELD);
    const void *nul = std::memchr(field, 0, std::size_t(available));
    const int size = nul ? int(static_cast<const quint8 *>(nul) - field) : available;
    return QString::fromUtf8(reinterpret_cast<const char *>(field), size);
}

int LittleEndian16(const quint8 *bytes)
{
    return bytes[0] + 256 * bytes[1];
}

} // namespace

DecodedAnswer DecodeAnswer(quint8 msgId, const quint8 *payload, quint8 length)
{
    DecodedAnswer answer;
    answer.msgId = msgId;
    const int needed = MinimumSize(msgId);
    if (needed < 0) {
        answer.kind = DecodedAnswer::Unknown;
        return answer;
    }
    if (length < needed) {
        answer.kind = DecodedAnswer::Short;
        return answer;
    }
    switch (msgId) {
    case MSG_SET_SN_ACK:
        answer.kind = DecodedAnswer::SetSnAck;
        answer.ok = payload[0] == 0;
        break;
    case MSG_GET_SN_ACK:
        answer.kind = DecodedAnswer::SerialNumber;
        answer.serialNumber = SerialNumberText(payload, length);
        break;
    case MSG_GET_BATTERY_INFO_ACK:
        answer.kind = DecodedAnswer::BatteryInfo;
        // A record cut short keeps zeros where its bytes did not arrive.
        std::memcpy(&answer.battery, payload, qMin<std::size_t>(length, sizeof answer.battery));
        answer.soc = answer.battery.Soc;
        break;
    case MSG_GET_VERSION_ACK:
        answer.kind = DecodedAnswer::Version;
        answer.versionLow = payload[0];
        answer.versionHigh = payload[1];
        answer.version = LittleEndian16(payload);
        break;
    case MSG_GET_INFO_ACK:
        answer.kind = DecodedAnswer::Info;
        answer.serialNumber = SerialNumberText(payload, length);
        answer.soc = payload[20];
        answer.version = LittleEndian16(payload + 21);
        break;
    default:
        break;
    }
    return answer;
}
