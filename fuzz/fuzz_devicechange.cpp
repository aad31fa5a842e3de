// Arbitrary device-change records through the decoder, each in a buffer of exactly its own
// bytes, so that a read past the record is caught; whatever the decoder returns is checked
// against the record's layout.

#include "devicechange.h"

#include <QChar>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

constexpr quintptr kArrival = 0x8000;
constexpr quintptr kRemoval = 0x8004;
constexpr quint32 kHeader = 12;
constexpr quint32 kLargestRecord = 4096;

quint32 readU32(const std::uint8_t *bytes)
{
    quint32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

quint16 readU16(const std::uint8_t *bytes)
{
    quint16 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // One byte for the event code, then a record holding at least its size field: the
    // platform never sends less.
    if (size < 1 + 4)
        return 0;
    // Mostly arrivals and removals; with the top bit, one of the codes next to them.
    const std::uint8_t pick = data[0];
    quintptr eventCode = (pick & 1) ? kRemoval : kArrival;
    if (pick & 0x80)
        eventCode = 0x8000 + (pick & 0x7F);

    const std::size_t length = size - 1;
    std::unique_ptr<std::uint8_t[]> record(new std::uint8_t[length]);
    std::memcpy(record.get(), data + 1, length);

    // The size field is the decoder's only knowledge of the buffer. A field larger than the
    // bytes at hand but within the limit would describe memory the record does not have, which
    // the platform never does: make it tell the truth. Fields beyond the limit stay as they
    // are; the decoder must refuse them from the field alone.
    quint32 sizeField = readU32(record.get());
    if (sizeField > length && sizeField <= kLargestRecord) {
        sizeField = quint32(length);
        std::memcpy(record.get(), &sizeField, sizeof sizeField);
    }

    const DeviceChange change = decodeDeviceBroadcast(eventCode, record.get());

    const bool portEvent = eventCode == kArrival || eventCode == kRemoval;
    const bool sane = sizeField >= kHeader && sizeField <= kLargestRecord;
    const bool port = sane && readU32(record.get() + 4) == 3;

    // The name the record carries: the UTF-16 units up to the first NUL inside the size.
    bool terminated = false;
    QString name;
    for (quint32 offset = kHeader; port && offset + 2 <= sizeField; offset += 2) {
        const quint16 unit = readU16(record.get() + offset);
        if (unit == 0) {
            terminated = true;
            break;
        }
        name.append(QChar(unit));
    }

    if (!(portEvent && port && terminated)) {
        if (change.kind != DeviceChange::None || !change.portName.isEmpty())
            std::abort();
        return 0;
    }
    const DeviceChange::Kind expected =
        eventCode == kArrival ? DeviceChange::Arrival : DeviceChange::Removal;
    if (change.kind != expected || change.portName != name)
        std::abort();
    return 0;
}
