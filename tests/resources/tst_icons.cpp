#include "icofile.h"

#include <QColor>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QtTest>

using namespace icofile;

namespace
{

const QColor kTileBlue(0x4A, 0x9F, 0xD8);

QString imagePath(const QString &file)
{
    return QStringLiteral(QUORBEL_SOURCE_DIR "/Image/") + file;
}

QByteArray readAll(const QString &file)
{
    QFile f(imagePath(file));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

int maskStride(int width)
{
    return (width + 31) / 32 * 4;
}

bool isWhite(QRgb p)
{
    return qAlpha(p) == 255 && qRed(p) >= 0xF0 && qGreen(p) >= 0xF0 && qBlue(p) >= 0xF0;
}

// Columns of the white pixels in row y, as [first, last]; first > last when there are none.
QPair<int, int> whiteExtent(const QImage &image, int y)
{
    QPair<int, int> extent(image.width(), -1);
    for (int x = 0; x < image.width(); ++x) {
        if (isWhite(image.pixel(x, y))) {
            extent.first = qMin(extent.first, x);
            extent.second = qMax(extent.second, x);
        }
    }
    return extent;
}

} // namespace

class tst_Icons : public QObject
{
    Q_OBJECT

private slots:
    void directory_data();
    void directory();
    void image_data();
    void image();
};

void tst_Icons::directory_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QVector<int>>("sizes");

    QTest::newRow("program icon: nine sizes, smallest first")
        << "logo.ico" << QVector<int>{16, 24, 32, 48, 64, 72, 96, 128, 256};
    QTest::newRow("second icon: one 64 px image") << "logo1.ico" << QVector<int>{64};
}

void tst_Icons::directory()
{
    QFETCH(QString, file);
    QFETCH(QVector<int>, sizes);

    const QByteArray data = readAll(file);
    IconDirectory dir;
    QVERIFY2(readIcoFile(data, &dir), qPrintable(file + " is missing or truncated"));
    QCOMPARE(dir.reserved, quint16(0));
    QCOMPARE(dir.type, quint16(1));

    QVector<int> found;
    for (const IconEntry &e : dir.entries) {
        found.append(e.width);
        QCOMPARE(e.height, e.width);
        QCOMPARE(e.colorCount, 0);
        QCOMPARE(e.reserved, 0);
        QCOMPARE(e.planes, 1);
        QCOMPARE(e.bitCount, 32);
    }
    QCOMPARE(found, sizes);

    // Every image lies after the directory, inside the file, and apart from the others.
    QVector<QPair<quint32, quint32>> ranges;
    for (const IconEntry &e : dir.entries)
        ranges.append(qMakePair(e.offset, e.offset + e.bytes));
    std::sort(ranges.begin(), ranges.end());
    quint32 end = 6 + 16 * dir.entries.size();
    for (const auto &r : ranges) {
        QVERIFY2(r.first >= end, "image overlaps the directory or the image before it");
        QVERIFY(r.second > r.first);
        end = r.second;
    }
    QVERIFY2(end <= quint32(data.size()), "image runs past the end of the file");

    QImageReader reader(imagePath(file));
    QCOMPARE(reader.imageCount(), sizes.size());

    // The window takes its icon through QIcon, which must offer every size to pick from.
    const QIcon icon(imagePath(file));
    QVector<int> offered;
    for (const QSize &s : icon.availableSizes()) {
        QCOMPARE(s.height(), s.width());
        offered.append(s.width());
    }
    QCOMPARE(offered, sizes);
}

void tst_Icons::image_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");

    const QVector<int> sizes{16, 24, 32, 48, 64, 72, 96, 128, 256};
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray name = "logo.ico " + QByteArray::number(sizes.at(i)) + " px";
        QTest::newRow(name.constData()) << "logo.ico" << i << sizes.at(i);
    }
    QTest::newRow("logo1.ico 64 px") << "logo1.ico" << 0 << 64;
}

void tst_Icons::image()
{
    QFETCH(QString, file);
    QFETCH(int, index);
    QFETCH(int, size);

    const QByteArray data = readAll(file);
    IconDirectory dir;
    QVERIFY(readIcoFile(data, &dir));
    QVERIFY(index < dir.entries.size());
    const IconEntry entry = dir.entries.at(index);
    QCOMPARE(entry.width, size);
    const QByteArray payload = data.mid(int(entry.offset), int(entry.bytes));
    QCOMPARE(payload.size(), int(entry.bytes));

    QImageReader reader(imagePath(file));
    QVERIFY(reader.jumpToImage(index));
    const QImage read = reader.read();
    QVERIFY2(!read.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(read.size(), QSize(size, size));
    const QImage image = read.convertToFormat(QImage::Format_ARGB32);
    // Qt may hand the image over premultiplied; compared that way no rounding gets in between.
    const QImage premultiplied = read.convertToFormat(QImage::Format_ARGB32_Premultiplied);

    if (size == 256) {
        QVERIFY(payload.startsWith("\x89PNG\r\n\x1a\n"));
        // IHDR comes first: length 13, then width, height (big-endian), depth 8, RGBA.
        QCOMPARE(payload.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(qFromBigEndian<quint32>(payload.constData() + 16), 256u);
        QCOMPARE(qFromBigEndian<quint32>(payload.constData() + 20), 256u);
        QCOMPARE(int(payload.at(24)), 8);
        QCOMPARE(int(payload.at(25)), 6);
    } else {
        QCOMPARE(le32(payload, 0), 40u);
        QCOMPARE(int(le32(payload, 4)), size);
        QCOMPARE(int(le32(payload, 8)), 2 * size); // colour bitmap and mask, stacked
        QCOMPARE(le16(payload, 12), quint16(1));
        QCOMPARE(le16(payload, 14), quint16(32));
        QCOMPARE(le32(payload, 16), 0u);
        const int colourBytes = size * size * 4;
        const int maskBytes = maskStride(size) * size;
        const int sizeImage = int(le32(payload, 20)); // may be left 0 for uncompressed rows
        QVERIFY(sizeImage == 0 || sizeImage == colourBytes + maskBytes);
        QCOMPARE(int(entry.bytes), 40 + colourBytes + maskBytes);

        // Our own reading of the rows (bottom-up BGRA) must agree with Qt's, and the mask must
        // hide exactly the fully transparent pixels.
        for (int y = 0; y < size; ++y) {
            const int row = size - 1 - y;
            for (int x = 0; x < size; ++x) {
                const int at = 40 + (row * size + x) * 4;
                const QRgb own = qRgba(quint8(payload.at(at + 2)), quint8(payload.at(at + 1)),
                                       quint8(payload.at(at)), quint8(payload.at(at + 3)));
                const QRgb qt = premultiplied.pixel(x, y);
                if (qPremultiply(own) != qt)
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, Qt reads %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(qPremultiply(own), 8, 16)
                                         .arg(qt, 8, 16)));
                const int maskAt = 40 + colourBytes + row * maskStride(size) + x / 8;
                const bool masked = quint8(payload.at(maskAt)) & (0x80 >> (x % 8));
                if (masked != (qAlpha(own) == 0))
                    QFAIL(qPrintable(QStringLiteral("mask bit of (%1, %2) is %3 for alpha %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(masked)
                                         .arg(qAlpha(own))));
            }
        }
    }

    // The artwork: transparent outside the rounded tile, the tile in the app's blue, and the
    // arrow upright: its tip is the topmost white, the battery's wide base the lowest.
    const int last = size - 1;
    for (const QPoint &corner :
         {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)})
        QCOMPARE(qAlpha(image.pixel(corner)), 0);
    const QColor tile = QColor::fromRgba(image.pixel(size * 12 / 100, size / 2));
    QCOMPARE(tile, kTileBlue);

    int top = 0;
    while (top < size && whiteExtent(image, top).second < 0)
        ++top;
    int bottom = last;
    while (bottom > top && whiteExtent(image, bottom).second < 0)
        --bottom;
    QVERIFY2(top < bottom, "no white mark on the tile");
    const QPair<int, int> tip = whiteExtent(image, top);
    QVERIFY2(tip.first >= size * 3 / 10 && tip.second <= size * 7 / 10,
             "topmost white row is not a centred tip: the image is upside down");
    const QPair<int, int> base = whiteExtent(image, bottom);
    QVERIFY2(base.second - base.first + 1 >= size * 3 / 10, "lowest white row is not wide");
}

QTEST_MAIN(tst_Icons)
#include "tst_icons.moc"
