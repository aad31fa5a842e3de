#pragma once

// Little readers for the icon file and Windows resource layouts, written from the formats
// themselves so that the checks do not lean on the code that produced the files.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace icofile
{

// Reads past the end yield zero; callers check sizes first where a short file matters.
inline quint32 le(const QByteArray &data, int at, int bytes)
{
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value <<= 8;
        if (at + i >= 0 && at + i < data.size())
            value |= static_cast<quint8>(data.at(at + i));
    }
    return value;
}

inline quint16 le16(const QByteArray &data, int at)
{
    return static_cast<quint16>(le(data, at, 2));
}

inline quint32 le32(const QByteArray &data, int at)
{
    return le(data, at, 4);
}

inline int align4(int at)
{
    return (at + 3) & ~3;
}

// One image of an icon directory, or of a group icon resource (which names its image by a
// resource id instead of a file offset).
struct IconEntry {
    int width = 0; // 256 where the one-byte field holds 0
    int height = 0;
    int colorCount = 0;
    int reserved = 0;
    int planes = 0;
    int bitCount = 0;
    quint32 bytes = 0;
    quint32 offset = 0;
    quint16 id = 0;
};

struct IconDirectory {
    quint16 reserved = 0;
    quint16 type = 0;
    QVector<IconEntry> entries;
};

// Shared by the .ico file (16-byte entries ending in a file offset) and the group icon
// resource (14-byte entries ending in a resource id). False when the data is too short.
inline bool readDirectory(const QByteArray &data, int entrySize, IconDirectory *dir)
{
    if (data.size() < 6)
        return false;
    dir->reserved = le16(data, 0);
    dir->type = le16(data, 2);
    const int count = le16(data, 4);
    if (data.size() < 6 + count * entrySize)
        return false;
    dir->entries.clear();
    for (int i = 0; i < count; ++i) {
        const int at = 6 + i * entrySize;
        IconEntry e;
        e.width = static_cast<quint8>(data.at(at)) ? static_cast<quint8>(data.at(at)) : 256;
        e.height =
            static_cast<quint8>(data.at(at + 1)) ? static_cast<quint8>(data.at(at + 1)) : 256;
        e.colorCount = static_cast<quint8>(data.at(at + 2));
        e.reserved = static_cast<quint8>(data.at(at + 3));
        e.planes = le16(data, at + 4);
        e.bitCount = le16(data, at + 6);
        e.bytes = le32(data, at + 8);
        if (entrySize == 16)
            e.offset = le32(data, at + 12);
        else
            e.id = le16(data, at + 12);
        dir->entries.append(e);
    }
    return true;
}

inline bool readIcoFile(const QByteArray &data, IconDirectory *dir)
{
    return readDirectory(data, 16, dir);
}

inline bool readGroupIcon(const QByteArray &data, IconDirectory *dir)
{
    return readDirectory(data, 14, dir);
}

} // namespace icofile
