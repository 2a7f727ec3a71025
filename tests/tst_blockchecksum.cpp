#include "blockchecksum.h"

#include <QTest>

class TestBlockChecksum : public QObject
{
    Q_OBJECT
private slots:
    void checkValues_data();
    void checkValues();
};

void TestBlockChecksum::checkValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("expected");

    QTest::newRow("digits") << QByteArray("123456789") << 9 << 0x31C3;
    QTest::newRow("abc") << QByteArray("abc") << 3 << 0x9DD6;
    QTest::newRow("1024 zeros") << QByteArray(1024, '\0') << 1024 << 0x0000;
    QTest::newRow("single 0xFF") << QByteArray(1, '\xFF') << 1 << 0x1EF0;
    QTest::newRow("count 0") << QByteArray("abc") << 0 << 0;
    QTest::newRow("negative count") << QByteArray("abc") << -5 << 0;
    QTest::newRow("count bounds the bytes") << QByteArray("123456789xyz") << 9 << 0x31C3;
}

void TestBlockChecksum::checkValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(int, expected);
    QCOMPARE(blockChecksum(bytes.constData(), count), quint16(expected));
}

QTEST_APPLESS_MAIN(TestBlockChecksum)
#include "tst_blockchecksum.moc"
