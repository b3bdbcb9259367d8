#include <QtTest>

#include "hand_frames.h"
#include "sim_options.h"

namespace {

bool parse(const QStringList& args, SimOptions* options, QString* error)
{
    QCommandLineParser parser;
    add_sim_options(parser);
    if (!parser.parse(QStringList{"vqsim"} + args)) {
        *error = parser.errorText();
        return false;
    }
    return read_sim_options(parser, options, error);
}

}  // namespace

class TestSimOptions : public QObject {
    Q_OBJECT

private slots:
    void chips_data();
    void chips();
    void flash_and_transport();
    void faults();
    void crc_rate_data();
    void crc_rate();
    void rejected_data();
    void rejected();
};

void TestSimOptions::chips_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("chip_id");

    QTest::newRow("model") << "VQ4410" << 0x19714410u;
    QTest::newRow("model with a space, any case") << "vq210 uart0" << 0x19710210u;
    QTest::newRow("model without the space") << "VQ210Uart0" << 0x19710210u;
    QTest::newRow("hex ID in no model") << "0x19710000" << 0x19710000u;
    QTest::newRow("bare hex ID") << "1971350A" << 0x1971350Au;
}

void TestSimOptions::chips()
{
    QFETCH(QString, text);
    QFETCH(uint, chip_id);
    SimOptions o;
    QString error;
    QVERIFY2(parse({"--chip", text}, &o, &error), qPrintable(error));
    QCOMPARE(o.config.chip_id, chip_id);
}

void TestSimOptions::flash_and_transport()
{
    SimOptions o;
    QString error;
    QVERIFY2(parse({"--flash-id", "C22019", "--flash-id-1", "fail", "--flash-size", "128M", "--internal-flash-size",
                    "0x80000", "--final-status", "2", "--split", "62", "--no-pacing"},
                   &o, &error),
             qPrintable(error));
    QCOMPARE(o.config.flash_id[0], 0x00C22019u);
    QCOMPARE(o.config.flash_id_fails, (std::array<bool, 2>{false, true}));
    QCOMPARE(o.config.flash_size, 128 * kMiB);
    QCOMPARE(o.config.internal_flash_size, 512u * 1024);
    QCOMPARE(o.config.final_status, uint8_t('2'));  // a character, not the number 2
    QCOMPARE(o.transport.split_pause_ms, kFtdiPauseMs);
    QVERIFY(!o.transport.pacing);
}

void TestSimOptions::faults()
{
    SimOptions o;
    QString error;
    QVERIFY2(parse({"--silent", "K:2", "--silent", "n:always", "--status", "l:-1:3", "--wrong-crc", "N:0",
                    "--wrong-letter", "o"},
                   &o, &error),
             qPrintable(error));
    QCOMPARE(o.faults.size(), 5);

    // Applied to a device, the status fault shows as 0xFF three times, then 0.
    SimDevice d;
    apply_faults(o.faults, d);
    const QByteArray write = hand::block_write(0, 0, QByteArray(4, '\0'));
    for (int expected : {0xFF, 0xFF, 0xFF, 0x00})
        QCOMPARE(uint8_t(d.feed(write).first().at(1)), uint8_t(expected));
    QCOMPARE(d.feed(hand::flash_mode(1)).first().at(0), '?');
}

void TestSimOptions::crc_rate_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<uint>("rate");

    QTest::newRow("default: a quad SPI flash") << QStringList{} << 8000000u;
    QTest::newRow("slower") << QStringList{"--crc-rate", "1000000"} << 1000000u;
    QTest::newRow("0: at once") << QStringList{"--crc-rate", "0"} << 0u;
}

void TestSimOptions::crc_rate()
{
    QFETCH(QStringList, args);
    QFETCH(uint, rate);
    SimOptions o;
    QString error;
    QVERIFY2(parse(args, &o, &error), qPrintable(error));
    QCOMPARE(o.config.crc_rate, rate);
}

void TestSimOptions::rejected_data()
{
    QTest::addColumn<QStringList>("args");

    QTest::newRow("unknown chip name") << QStringList{"--chip", "VQ999Z"};
    QTest::newRow("two-letter fault") << QStringList{"--silent", "KL:1"};
    QTest::newRow("status without value") << QStringList{"--status", "L"};
    QTest::newRow("status out of a byte") << QStringList{"--status", "L:300"};
    QTest::newRow("wrong CRC not hex") << QStringList{"--wrong-crc", "n:xyz"};
    QTest::newRow("empty split") << QStringList{"--split", "0"};
    QTest::newRow("size with a bad unit") << QStringList{"--flash-size", "12Q"};
    QTest::newRow("negative progress") << QStringList{"--progress-reports", "-1"};
    QTest::newRow("negative CRC rate") << QStringList{"--crc-rate", "-1"};
    QTest::newRow("CRC rate with a unit") << QStringList{"--crc-rate", "8M"};
    QTest::newRow("unknown option") << QStringList{"--frobnicate"};
}

void TestSimOptions::rejected()
{
    QFETCH(QStringList, args);
    SimOptions o;
    QString error;
    QVERIFY(!parse(args, &o, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TestSimOptions)
#include "tst_sim_options.moc"
