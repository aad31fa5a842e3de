// Reads the compiled resources of the executable (the .res the resource compiler made from
// app/Quorbel.rc) and checks what Windows will show: the version block and the program icon.
// On Windows the built executable itself is read too, through the system's own calls.

#include "icofile.h"

#include <QFile>
#include <QMap>
#include <QSet>
#include <QtTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <shellapi.h>
#endif

using namespace icofile;

namespace
{

const int kTypeIcon = 3;
const int kTypeGroupIcon = 14;
const int kTypeVersion = 16;

struct Resource {
    int typeId = -1;
    QString name; // empty when the resource is named by number
    int nameId = -1;
    quint16 language = 0;
    QByteArray data;
};

// An ordinal (0xFFFF then a number) or a zero-terminated UTF-16 name.
int readNameOrId(const QByteArray &d, int at, QString *name, int *id)
{
    if (le16(d, at) == 0xFFFF) {
        *id = le16(d, at + 2);
        return at + 4;
    }
    name->clear();
    while (at + 1 < d.size() && le16(d, at) != 0) {
        name->append(QChar(le16(d, at)));
        at += 2;
    }
    return at + 2;
}

bool readRes(const QByteArray &d, QVector<Resource> *out)
{
    int at = 0;
    while (at + 8 <= d.size()) {
        const quint32 dataSize = le32(d, at);
        const quint32 headerSize = le32(d, at + 4);
        if (headerSize < 8 || at + qint64(headerSize) + dataSize > d.size())
            return false;
        Resource r;
        QString typeName;
        int p = readNameOrId(d, at + 8, &typeName, &r.typeId);
        p = align4(readNameOrId(d, p, &r.name, &r.nameId));
        r.language = le16(d, p + 6);
        r.data = d.mid(at + int(headerSize), int(dataSize));
        // The file opens with an empty entry that marks it as 32-bit resources.
        if (dataSize > 0)
            out->append(r);
        at = align4(at + int(headerSize) + int(dataSize));
    }
    return at == d.size();
}

// A node of the version block: length, value length, type, key, value, children.
struct VersionNode {
    QString key;
    bool text = false;
    QByteArray value;
    QVector<VersionNode> children;

    const VersionNode *child(const QString &k) const
    {
        for (const VersionNode &c : children)
            if (c.key == k)
                return &c;
        return nullptr;
    }

    QString textValue() const
    {
        QString s;
        for (int i = 0; i + 1 < value.size() && le16(value, i) != 0; i += 2)
            s.append(QChar(le16(value, i)));
        return s;
    }
};

bool readVersionNode(const QByteArray &d, int at, VersionNode *node)
{
    const int length = le16(d, at);
    const int valueLength = le16(d, at + 2);
    node->text = le16(d, at + 4) == 1;
    if (length < 6 || at + length > d.size())
        return false;
    int p = at + 6;
    node->key.clear();
    while (p + 1 < at + length && le16(d, p) != 0) {
        node->key.append(QChar(le16(d, p)));
        p += 2;
    }
    p = align4(p + 2);
    // Text values count UTF-16 units, binary ones bytes.
    const int valueBytes = node->text ? valueLength * 2 : valueLength;
    if (p + valueBytes > at + length)
        return false;
    node->value = d.mid(p, valueBytes);
    p = align4(p + valueBytes);
    while (p < at + length) {
        VersionNode child;
        if (!readVersionNode(d, p, &child))
            return false;
        p = align4(p + le16(d, p));
        node->children.append(child);
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#ifdef Q_OS_WIN

const QString kExecutable = QStringLiteral(QUORBEL_EXECUTABLE);

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// A value of a version block, by its query path, as Windows looks it up.
bool queryVersion(const QByteArray &block, const QString &query, const void **value, UINT *length)
{
    void *found = nullptr;
    if (!VerQueryValueW(block.constData(), nativePath(query).c_str(), &found, length) || !found)
        return false;
    *value = found;
    return true;
}

// An icon's colour image, 32-bit BGRA rows from the top, as the system hands it to a window.
QByteArray iconPixels(HICON icon, int *size)
{
    ICONINFO info;
    if (!GetIconInfo(icon, &info))
        return QByteArray();
    BITMAP bitmap;
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    *size = bitmap.bmWidth;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = bitmap.bmWidth;
    format.bmiHeader.biHeight = -bitmap.bmHeight;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    QByteArray pixels(bitmap.bmWidth * bitmap.bmHeight * 4, '\0');
    const HDC screen = GetDC(nullptr);
    GetDIBits(screen, info.hbmColor, 0, UINT(bitmap.bmHeight), pixels.data(), &format,
              DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return pixels;
}

// The same from an icon file's 32-bit image: its rows are stored from the bottom, after a
// 40-byte header.
QByteArray filePixels(const QByteArray &ico, const IconEntry &entry)
{
    const int row = entry.width * 4;
    QByteArray pixels;
    for (int y = entry.height - 1; y >= 0; --y)
        pixels += ico.mid(int(entry.offset) + 40 + y * row, row);
    return pixels;
}

#endif

} // namespace

class tst_WinRes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fixedInfo_data();
    void fixedInfo();
    void strings_data();
    void strings();
    void stringKeys();
    void translation();
    void programIcon_data();
    void programIcon();
#ifdef Q_OS_WIN
    void iconInExecutable();
#endif

private:
    const Resource *findNamed(int typeId, const QString &name) const;
    const Resource *findNumbered(int typeId, int id) const;
    const VersionNode *stringTable() const;

    QVector<Resource> m_resources;
    VersionNode m_version;
#ifdef Q_OS_WIN
    QByteArray m_executableVersion; // the built executable's block, as the system reads it
#endif
};

// Resource names compare without regard to case, as Windows looks them up.
const Resource *tst_WinRes::findNamed(int typeId, const QString &name) const
{
    for (const Resource &r : m_resources)
        if (r.typeId == typeId && r.name.compare(name, Qt::CaseInsensitive) == 0)
            return &r;
    return nullptr;
}

const Resource *tst_WinRes::findNumbered(int typeId, int id) const
{
    for (const Resource &r : m_resources)
        if (r.typeId == typeId && r.name.isEmpty() && r.nameId == id)
            return &r;
    return nullptr;
}

const VersionNode *tst_WinRes::stringTable() const
{
    const VersionNode *info = m_version.child("StringFileInfo");
    return info && info->children.size() == 1 ? &info->children.first() : nullptr;
}

void tst_WinRes::initTestCase()
{
    const QByteArray res = readFile(QStringLiteral(QUORBEL_WINRES_FILE));
    QVERIFY2(!res.isEmpty(), "no compiled resources; the resource compile step failed");
    QVERIFY2(readRes(res, &m_resources), "malformed resource file");

    int versions = 0;
    for (const Resource &r : m_resources)
        versions += r.typeId == kTypeVersion;
    QCOMPARE(versions, 1);
    const Resource *version = findNumbered(kTypeVersion, 1);
    QVERIFY2(version, "the version block must be resource 1");
    QVERIFY(readVersionNode(version->data, 0, &m_version));
    QCOMPARE(m_version.key, QStringLiteral("VS_VERSION_INFO"));

#ifdef Q_OS_WIN
    const DWORD size = GetFileVersionInfoSizeW(nativePath(kExecutable).c_str(), nullptr);
    QVERIFY2(size > 0, "the built executable carries no version block");
    m_executableVersion.resize(int(size));
    QVERIFY(
        GetFileVersionInfoW(nativePath(kExecutable).c_str(), 0, size, m_executableVersion.data()));
#endif
}

void tst_WinRes::fixedInfo_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("signature") << 0 << 0xFEEF04BDu;
    QTest::newRow("file version, major and minor") << 8 << 0u;
    QTest::newRow("file version, build and revision") << 12 << 0u;
    QTest::newRow("product version, major and minor") << 16 << 0u;
    QTest::newRow("product version, build and revision") << 20 << 0u;
    QTest::newRow("no debug, pre-release or patched flags") << 28 << 0u;
    QTest::newRow("runs on the Windows NT family") << 32 << 0x40004u;
    QTest::newRow("file type is an application") << 36 << 1u;
}

void tst_WinRes::fixedInfo()
{
    QFETCH(int, offset);
    QFETCH(quint32, expected);

    QCOMPARE(m_version.value.size(), 52);
    QCOMPARE(le32(m_version.value, offset), expected);
#ifdef Q_OS_WIN
    const void *fixed = nullptr;
    UINT length = 0;
    QVERIFY(queryVersion(m_executableVersion, QStringLiteral("/"), &fixed, &length));
    QCOMPARE(length, 52u);
    QCOMPARE(le32(QByteArray(static_cast<const char *>(fixed), int(length)), offset), expected);
#endif
}

void tst_WinRes::strings_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("product name") << "ProductName"
                                  << "Quorbel";
    QTest::newRow("original file name carries the extension") << "OriginalFilename"
                                                              << "Quorbel.exe";
    QTest::newRow("file version") << "FileVersion"
                                  << "0.0.0.0";
    QTest::newRow("product version") << "ProductVersion"
                                     << "0.0.0.0";
    QTest::newRow("company name is empty") << "CompanyName"
                                           << "";
    QTest::newRow("file description is empty") << "FileDescription"
                                               << "";
    QTest::newRow("legal notice is empty") << "LegalCopyright"
                                           << "";
}

void tst_WinRes::strings()
{
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const VersionNode *table = stringTable();
    QVERIFY2(table, "StringFileInfo must hold exactly one string table");
    const VersionNode *value = table->child(key);
    QVERIFY2(value, qPrintable(key + " is missing"));
    QVERIFY(value->text);
    QCOMPARE(value->textValue(), expected);
#ifdef Q_OS_WIN
    const void *shown = nullptr;
    UINT length = 0;
    QVERIFY2(queryVersion(m_executableVersion, QStringLiteral("/StringFileInfo/040904B0/") + key,
                          &shown, &length),
             qPrintable(key + " is missing from the executable"));
    QCOMPARE(QString::fromWCharArray(static_cast<const wchar_t *>(shown)), expected);
#endif
}

void tst_WinRes::stringKeys()
{
    const VersionNode *table = stringTable();
    QVERIFY(table);
    QStringList keys;
    for (const VersionNode &c : table->children)
        keys.append(c.key);
    keys.sort();
    QCOMPARE(keys, QStringList({"CompanyName", "FileDescription", "FileVersion", "LegalCopyright",
                                "OriginalFilename", "ProductName", "ProductVersion"}));
}

// Windows looks the strings up under the language and code page that Translation names; a
// table under any other key is never shown.
void tst_WinRes::translation()
{
    const VersionNode *vars = m_version.child("VarFileInfo");
    QVERIFY(vars);
    const VersionNode *translation = vars->child("Translation");
    QVERIFY(translation);
    QCOMPARE(translation->value.size(), 4);
    QCOMPARE(le16(translation->value, 0), quint16(0x0409));
    QCOMPARE(le16(translation->value, 2), quint16(1200));

    const VersionNode *table = stringTable();
    QVERIFY(table);
    QCOMPARE(table->key.toUpper(), QStringLiteral("040904B0"));
#ifdef Q_OS_WIN
    const void *pair = nullptr;
    UINT length = 0;
    QVERIFY(queryVersion(m_executableVersion, QStringLiteral("/VarFileInfo/Translation"), &pair,
                         &length));
    QCOMPARE(QByteArray(static_cast<const char *>(pair), int(length)), translation->value);
#endif
}

void tst_WinRes::programIcon_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");

    const QVector<int> sizes{16, 24, 32, 48, 64, 72, 96, 128, 256};
    for (int i = 0; i < sizes.size(); ++i)
        QTest::newRow(qPrintable(QStringLiteral("%1 px").arg(sizes.at(i)))) << i << sizes.at(i);
}

// The executable's icon must be the window's icon image for image, so the program file and
// the window look alike.
void tst_WinRes::programIcon()
{
    QFETCH(int, index);
    QFETCH(int, size);

    const Resource *group = findNamed(kTypeGroupIcon, QStringLiteral("IDI_ICON1"));
    QVERIFY2(group, "no group icon named IDI_ICON1");
    IconDirectory groupDir;
    QVERIFY(readGroupIcon(group->data, &groupDir));

    const QByteArray ico = readFile(QStringLiteral(QUORBEL_SOURCE_DIR "/Image/logo.ico"));
    IconDirectory icoDir;
    QVERIFY(readIcoFile(ico, &icoDir));
    QCOMPARE(groupDir.entries.size(), icoDir.entries.size());

    const IconEntry member = groupDir.entries.at(index);
    const IconEntry source = icoDir.entries.at(index);
    QCOMPARE(member.width, size);
    QCOMPARE(member.height, size);
    QCOMPARE(member.bitCount, source.bitCount);
    QCOMPARE(member.bytes, source.bytes);

    const Resource *image = findNumbered(kTypeIcon, member.id);
    QVERIFY2(image, "group names an icon image that is not there");
    QVERIFY(image->data == ico.mid(int(source.offset), int(source.bytes)));
}

#ifdef Q_OS_WIN
// The icon Explorer and the taskbar take from the executable: the large one pixel for pixel the
// image of its size in the icon file. The small one only by its size: Wine hands back one
// resampled from another image, not the file's own 16-pixel one.
void tst_WinRes::iconInExecutable()
{
    const std::wstring exe = nativePath(kExecutable);
    QCOMPARE(ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0), 1u);
    HICON large = nullptr;
    HICON small = nullptr;
    ExtractIconExW(exe.c_str(), 0, &large, &small, 1);
    QVERIFY(large && small);
    int largeSize = 0;
    int smallSize = 0;
    const QByteArray shown = iconPixels(large, &largeSize);
    iconPixels(small, &smallSize);
    DestroyIcon(large);
    DestroyIcon(small);
    QCOMPARE(largeSize, GetSystemMetrics(SM_CXICON));
    QCOMPARE(smallSize, GetSystemMetrics(SM_CXSMICON));

    const QByteArray ico = readFile(QStringLiteral(QUORBEL_SOURCE_DIR "/Image/logo.ico"));
    IconDirectory icoDir;
    QVERIFY(readIcoFile(ico, &icoDir));
    const auto entry = std::find_if(icoDir.entries.cbegin(), icoDir.entries.cend(),
                                    [&](const IconEntry &e) { return e.width == largeSize; });
    QVERIFY2(entry != icoDir.entries.cend(), qPrintable(QString::number(largeSize)));
    QVERIFY(shown == filePixels(ico, *entry));
}
#endif

QTEST_GUILESS_MAIN(tst_WinRes)
#include "tst_winres.moc"
