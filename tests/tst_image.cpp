// The image envelope: its layout, reading and checking it, and kavri-image
// as a user runs it.

#include "imageenvelope.h"
#include "testdata.h"
#include "toolprocess.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int runTimeoutMs = 10000;

// A 5-block application wrapped as version 1.4.
QByteArray wrappedImage()
{
    return ImageEnvelope::wrap(patterned(4 * Wire::blockSize + 300), 1, 4);
}

QByteArray flipped(QByteArray bytes, qsizetype at)
{
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

} // namespace

class TestImage : public QObject
{
    Q_OBJECT

private slots:
    void wrapsInTheDocumentedLayout();
    void readsHeader_data();
    void readsHeader();
    void checksApplication_data();
    void checksApplication();
    void toolExitStatus_data();
    void toolExitStatus();
};

void TestImage::wrapsInTheDocumentedLayout()
{
    // Written out byte by byte (the CRC-32s as zlib gives them), so that a
    // field out of place or a wrong CRC fails here and on the device alike.
    const QByteArray header = QByteArray::fromHex("4b564631" "11000000" "01f38f40" "0100" "0400" "53f3ad32");
    QCOMPARE(ImageEnvelope::wrap("hello application", 1, 4),
             header + QByteArray(ImageEnvelope::headerSize - header.size(), '\0') + "hello application");
}

void TestImage::readsHeader_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("hasEnvelope");

    const QByteArray image = wrappedImage();
    QTest::newRow("wrapped") << image << true;
    QTest::newRow("no envelope") << patterned(5 * Wire::blockSize) << false;
    QTest::newRow("shorter than a header") << image.left(ImageEnvelope::headerSize - 1) << false;
    QTest::newRow("length damaged") << flipped(image, 4) << false;
    QTest::newRow("version damaged") << flipped(image, 14) << false;
}

void TestImage::readsHeader()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, hasEnvelope);

    const std::optional<ImageEnvelope::Header> header = ImageEnvelope::read(image);
    QCOMPARE(header.has_value(), hasEnvelope);
    if (hasEnvelope) {
        QCOMPARE(header->length, quint32(4 * Wire::blockSize + 300));
        QCOMPARE(header->versionMajor, quint16(1));
        QCOMPARE(header->versionMinor, quint16(4));
    }
}

void TestImage::checksApplication_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<ImageEnvelope::Check>("check");

    const QByteArray image = wrappedImage();
    QTest::newRow("whole") << image << ImageEnvelope::Check::Ok;
    QTest::newRow("a bit flipped") << flipped(image, ImageEnvelope::headerSize + 2000) << ImageEnvelope::Check::WrongCrc;
    QTest::newRow("cut short") << image.chopped(1) << ImageEnvelope::Check::WrongLength;
    QTest::newRow("a zero byte more") << image + '\0' << ImageEnvelope::Check::WrongLength;
}

void TestImage::checksApplication()
{
    QFETCH(QByteArray, image);
    QFETCH(ImageEnvelope::Check, check);

    QCOMPARE(ImageEnvelope::check(image, *ImageEnvelope::read(wrappedImage())), check);
}

void TestImage::toolExitStatus_data()
{
    QTest::addColumn<QStringList>("arguments"); // app.bin, image.kvf, damaged.kvf and empty.bin are in the folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");        // a line of stdout, or of stderr for exit 2

    QTest::newRow("wrap") << QStringList{"wrap", "app.bin", "-o", "new.kvf", "--app-version", "1.4"} << 0 << QString();
    QTest::newRow("show") << QStringList{"show", "image.kvf"} << 0 << "check: ok";
    QTest::newRow("show a file without envelope") << QStringList{"show", "app.bin"} << 1 << "no envelope";
    QTest::newRow("show a damaged image") << QStringList{"show", "damaged.kvf"} << 1 << "check: wrong CRC-32";
    QTest::newRow("wrap an empty file") << QStringList{"wrap", "empty.bin", "-o", "new.kvf"} << 2 << "empty";
    QTest::newRow("wrap without -o") << QStringList{"wrap", "app.bin"} << 2 << "needs -o";
    QTest::newRow("version out of range") << QStringList{"wrap", "app.bin", "-o", "new.kvf", "--app-version", "1.65536"}
                                          << 2 << "--app-version";
    QTest::newRow("unknown command") << QStringList{"unwrap", "image.kvf"} << 2 << "expected";
}

void TestImage::toolExitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray application = patterned(4 * Wire::blockSize + 300);
    QVERIFY(writeFile(dir.filePath("app.bin"), application));
    QVERIFY(writeFile(dir.filePath("image.kvf"), wrappedImage()));
    QVERIFY(writeFile(dir.filePath("damaged.kvf"), flipped(wrappedImage(), ImageEnvelope::headerSize + 2000)));
    QVERIFY(writeFile(dir.filePath("empty.bin"), {}));

    QProcess tool;
    tool.setWorkingDirectory(dir.path());
    tool.start(QStringLiteral(KAVRI_IMAGE), arguments);
    const Finished finished = waitFor(tool, runTimeoutMs);
    QVERIFY2(finished.exitCode == exitCode, qPrintable(finished.out + finished.err));
    QVERIFY2((exitCode == 2 ? finished.err : finished.out).contains(output), qPrintable(finished.out + finished.err));
    if (arguments.contains("new.kvf") && exitCode == 0)
        QCOMPARE(readFile(dir.filePath("new.kvf")), wrappedImage());
}

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
