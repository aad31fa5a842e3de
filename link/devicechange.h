#pragma once

// Serial ports coming and going, as the platform reports them.

#include <QString>
#include <QtGlobal>

struct DeviceChange {
    enum Kind { None, Arrival, Removal };
    Kind kind = None;
    QString portName;
};

// Decodes a device-change broadcast: the event code (the message's first parameter) and the
// record the second parameter points to, laid out as a port broadcast record: 32-bit size,
// 32-bit device type, 32-bit reserved, then the port name as NUL-terminated UTF-16. Only port
// arrivals and removals come back as such. The record is read only within its own size field:
// a record too short for its header, or whose name has no NUL inside that size, is ignored.
DeviceChange decodeDeviceBroadcast(quintptr eventCode, const void *record);
