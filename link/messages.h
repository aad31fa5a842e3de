#pragma once

// The device's message set. Requests are odd; every answer carries its request's id plus one.

#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <cstddef>

enum : quint8 {
    MSG_SET_SN = 1,
    MSG_SET_SN_ACK = 2,
    MSG_GET_SN = 3,
    MSG_GET_SN_ACK = 4,
    MSG_GET_BATTERY_INFO = 5,
    MSG_GET_BATTERY_INFO_ACK = 6,
    MSG_GET_VERSION = 7,
    MSG_GET_VERSION_ACK = 8,
    MSG_GET_INFO = 9,
    MSG_GET_INFO_ACK = 10,
};

// The device's battery record, 28 bytes in its wire layout. Only the state of charge is read;
// the other bytes are carried unchanged.
struct stru_BatteryInfo {
    quint8 Reserved0[12];
    quint8 Soc; // state of charge, percent
    quint8 Reserved1[15];
};
static_assert(sizeof(stru_BatteryInfo) == 28, "the battery record is 28 bytes on the wire");
static_assert(offsetof(stru_BatteryInfo, Soc) == 12, "Soc is byte 12 of the record");

Q_DECLARE_METATYPE(stru_BatteryInfo)

// One received answer, decoded from the parser's msgId and payload.
struct DecodedAnswer {
    enum Kind {
        SetSnAck,    // ok
        SerialNumber, // serialNumber
        BatteryInfo, // battery
        Version,     // version, versionLow, versionHigh
        Info,        // serialNumber, version, soc
        Unknown,     // an id outside the answer set
        Short,       // an answer without the bytes of a field it is read for: not decoded
    };
    Kind kind = Unknown;
    quint8 msgId = 0;
    bool ok = false;
    QString serialNumber;
    int version = 0;
    quint8 versionLow = 0;
    quint8 versionHigh = 0;
    int soc = 0;
    stru_BatteryInfo battery{};
};

// Decodes an answer frame's payload. length is the received length byte, and no byte past it is
// read: those are what an earlier frame left behind. A shorter answer is read for what it
// carries (the serial number ends with the received bytes, a battery record is zero after
// them); one that lacks a field it is read for comes back as Short.
DecodedAnswer DecodeAnswer(quint8 msgId, const quint8 *payload, quint8 length);
