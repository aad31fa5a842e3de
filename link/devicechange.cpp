#include "devicechange.h"

#include <cstring>

namespace
{

constexpr quintptr kDeviceArrival = 0x8000;        // DBT_DEVICEARRIVAL
constexpr quintptr kDeviceRemoveComplete = 0x8004; // DBT_DEVICEREMOVECOMPLETE
constexpr quint32 kDeviceTypePort = 3;             // DBT_DEVTYP_PORT
constexpr quint32 kHeaderSize = 12;                // size, device type, reserved
// No port name comes near this; a larger size field is a broken record, not a long name.
constexpr quint32 kMaxRecordSize = 4096;

quint32 readU32(const unsigned char *bytes)
{
    quint32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

DeviceChange decodeDeviceBroadcast(quintptr eventCode, const void *record)
{
    DeviceChange change;
    if (eventCode != kDeviceArrival && eventCode != kDeviceRemoveComplete)
        return change;
    if (!record)
        return change;

    const auto *bytes = static_cast<const unsigned char *>(record);
    const quint32 size = readU32(bytes);
    if (size < kHeaderSize || size > kMaxRecordSize)
        return change;
    if (readU32(bytes + 4) != kDeviceTypePort)
        return change;

    QString name;
    const quint32 units = (size - kHeaderSize) / 2;
    for (quint32 i = 0; i < units; ++i) {
        quint16 unit;
        std::memcpy(&unit, bytes + kHeaderSize + 2 * i, sizeof unit);
        if (unit == 0) {
            change.kind =
                eventCode == kDeviceArrival ? DeviceChange::Arrival : DeviceChange::Removal;
            change.portName = name;
            return change;
        }
        name.append(QChar(unit));
    }
    // No terminating NUL inside the record: the name cannot be trusted.
    return change;
}
