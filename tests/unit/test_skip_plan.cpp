// The survey that decides which blocks an update may leave out, against a
// fake memory that answers CRCs as the boot loader would: random images and
// flash contents (the blocks written must cover every block that differs),
// and cases whose questions and writes were counted by hand.

#include <QRandomGenerator>
#include <QtTest>

#include "flashimage/skip_plan.h"
#include "protocol/crc32.h"
#include "random_bytes.h"

namespace {
constexpr int kBlk = 2048;
constexpr int kMiB = 1 << 20;

// A memory answering every question truthfully, counting what it read.
struct FakeFlash {
    QByteArray bytes;
    DeviceCrcQuery query()
    {
        return [this](const SurveyRegion& r) {
            return SurveyAnswer{SurveyReply::Crc,
                                boot_crc32(reinterpret_cast<const uint8_t*>(bytes.constData()) + r.offset, r.len)};
        };
    }
};

QVector<int> differing_blocks(const QByteArray& image, const QByteArray& flash)
{
    QVector<int> out;
    for (int b = 0; b * kBlk < image.size(); ++b) {
        if (image.mid(b * kBlk, kBlk) != flash.mid(b * kBlk, kBlk))
            out.append(b);
    }
    return out;
}
}  // namespace

class SkipPlanTest : public QObject {
    Q_OBJECT

private slots:
    void written_blocks_cover_every_difference();
    void counted_cases_data();
    void counted_cases();
    void unreadable_regions_are_written_data();
    void unreadable_regions_are_written();
    void writes_left_in_data();
    void writes_left_in();
    void diff_survey_after_a_failed_answer_data();
    void diff_survey_after_a_failed_answer();
    void image_as_left_in_flash_data();
    void image_as_left_in_flash();
    void diff_records_never_skipped_data();
    void diff_records_never_skipped();
};

void SkipPlanTest::written_blocks_cover_every_difference()
{
    QRandomGenerator g(19);
    for (int round = 0; round < 60; ++round) {
        const int size = 1 + int(g.bounded(4 * kMiB));
        const QByteArray image = noise(size, g.generate());
        FakeFlash flash{image};
        // Changed bytes and runs anywhere, sometimes an erased or shorter flash.
        switch (g.bounded(4)) {
        case 0:
            flash.bytes = QByteArray(size, '\xFF');
            break;
        case 1:
            flash.bytes.replace(int(g.bounded(size)), size, QByteArray(size, '\xFF'));
            flash.bytes.truncate(size);
            break;
        default:
            break;
        }
        const int edits = int(g.bounded(40));
        for (int e = 0; e < edits; ++e) {
            const int at = int(g.bounded(size));
            const int run = std::min(size - at, 1 + int(g.bounded(g.bounded(2) ? 8 : 100000)));
            for (int i = at; i < at + run; ++i)
                flash.bytes[i] = char(flash.bytes.at(i) ^ (1 + int(g.bounded(255))));
        }
        const SkipPlan plan = survey_flash_image(image, kBlk, flash.query());
        QCOMPARE(plan.write.size(), (size + kBlk - 1) / kBlk);
        for (int b : differing_blocks(image, flash.bytes))
            QVERIFY2(plan.write.at(b), qPrintable(QString("round %1: block %2 differs, not written").arg(round).arg(b)));
        if (flash.bytes == image) {
            QCOMPARE(plan.changed, 0);
            QCOMPARE(plan.bytes_surveyed, qint64(size));  // one read
        }
    }
}

void SkipPlanTest::counted_cases_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("kept");            // image bytes in flash, erased behind
    QTest::addColumn<QVector<int>>("edits");  // bytes changed in flash
    QTest::addColumn<int>("changed");
    QTest::addColumn<int>("queries");

    const int m16 = 16 * kMiB;
    QTest::newRow("identical 16 MiB") << m16 << m16 << QVector<int>{} << 0 << 16;
    QTest::newRow("one byte in the middle") << m16 << m16 << QVector<int>{8 * kMiB + 5} << 1 << 16 + 16 + 16 + 2;
    QTest::newRow("first and last byte") << m16 << m16 << QVector<int>{0, m16 - 1} << 2 << 16 + 32 + 32 + 4;
    QTest::newRow("a whole 64 KiB sector") << m16 << m16 << QVector<int>{3 * kMiB, 3 * kMiB + 4096, 3 * kMiB + 8192,
                                                                      3 * kMiB + 65535}
                                           << 4 << 16 + 16 + 16 + 8;
    QTest::newRow("erased flash: one read") << m16 << 0 << QVector<int>{} << m16 / kBlk << 16;
    QTest::newRow("four regions, all differ: one read") << 4 * kMiB << 0 << QVector<int>{} << 4 * kMiB / kBlk << 4;
    QTest::newRow("resume after half of 2 MiB") << 2 * kMiB << kMiB << QVector<int>{} << 512 << 2 + 16;
    QTest::newRow("tail of 5000 bytes") << 5000 << 5000 << QVector<int>{4999} << 1 << 1 + 3;
    QTest::newRow("shorter than a block") << 100 << 100 << QVector<int>{0} << 1 << 1;
}

void SkipPlanTest::counted_cases()
{
    QFETCH(int, size);
    QFETCH(int, kept);
    QFETCH(QVector<int>, edits);
    QFETCH(int, changed);
    QFETCH(int, queries);
    const QByteArray image = noise(size, 5);
    FakeFlash flash{image.left(kept) + QByteArray(size - kept, '\xFF')};
    for (int at : edits)
        flash.bytes[at] = char(~flash.bytes.at(at));
    const SkipPlan plan = survey_flash_image(image, kBlk, flash.query());
    QCOMPARE(plan.changed, changed);
    QCOMPARE(plan.queries, queries);
    for (int b : differing_blocks(image, flash.bytes))
        QVERIFY(plan.write.at(b));
}

void SkipPlanTest::unreadable_regions_are_written_data()
{
    QTest::addColumn<int>("failing_query");  // counted from 1
    QTest::addColumn<int>("kind");           // SurveyReply
    QTest::addColumn<int>("changed");
    QTest::addColumn<int>("queries");

    // 4 MiB identical: four 1 MiB regions of 512 blocks.
    QTest::newRow("second region unreadable") << 2 << int(SurveyReply::Unreadable) << 512 << 4;
    QTest::newRow("time-out on the third: stop asking") << 3 << int(SurveyReply::StopAsking) << 1024 << 3;
    // A device that reports a wrong CRC: narrowed, then every block proven by its own CRC.
    QTest::newRow("wrong CRC for one region") << 1 << int(SurveyReply::Crc) << 0 << 4 + 16;
}

void SkipPlanTest::unreadable_regions_are_written()
{
    QFETCH(int, failing_query);
    QFETCH(int, kind);
    QFETCH(int, changed);
    QFETCH(int, queries);
    const QByteArray image = noise(4 * kMiB, 9);
    FakeFlash flash{image};
    int asked = 0;
    const DeviceCrcQuery truthful = flash.query();
    const SkipPlan plan = survey_flash_image(image, kBlk, [&](const SurveyRegion& r) {
        SurveyAnswer a = truthful(r);
        if (++asked == failing_query) {
            a.kind = SurveyReply(kind);
            a.crc = ~a.crc;
        }
        return a;
    });
    QCOMPARE(plan.changed, changed);
    QCOMPARE(plan.queries, queries);
    QCOMPARE(plan.stopped_asking, kind == int(SurveyReply::StopAsking));
}

void SkipPlanTest::writes_left_in_data()
{
    QTest::addColumn<QString>("write");  // per block of four and a tail: x sent, . left out
    QTest::addColumn<QVector<int>>("seqs");
    QTest::addColumn<QVector<int>>("progress");
    QTest::newRow("the third left out") << "xx.xx" << QVector<int>{0, 1, 0, 1} << QVector<int>{0, 33, 66, -1};
}

void SkipPlanTest::writes_left_in()
{
    QFETCH(QString, write);
    QFETCH(QVector<int>, seqs);
    QFETCH(QVector<int>, progress);
    QVector<bool> marks;
    for (QChar c : write)
        marks.append(c == 'x');
    const QVector<BlockWrite> sent = ::writes_left_in(plan_flash_image(4 * kBlk + 10, kBlk, 0, TailStyle::Exact), marks);
    QVector<int> sent_seqs, sent_progress;
    for (const BlockWrite& w : sent) {
        QVERIFY(marks.at(int(w.address) / kBlk));
        sent_seqs << w.seq;
        sent_progress << w.progress;
    }
    QCOMPARE(sent_seqs, seqs);
    QCOMPARE(sent_progress, progress);
}

void SkipPlanTest::diff_survey_after_a_failed_answer_data()
{
    QTest::addColumn<int>("second");  // SurveyReply to the second question
    QTest::addColumn<QVector<bool>>("write");
    QTest::addColumn<int>("asked");
    QTest::newRow("time-out: nothing more asked") << int(SurveyReply::StopAsking) << QVector<bool>{false, true, true} << 2;
    QTest::newRow("unreadable: the next still asked") << int(SurveyReply::Unreadable) << QVector<bool>{false, true, false}
                                                      << 3;
}

void SkipPlanTest::diff_survey_after_a_failed_answer()
{
    QFETCH(int, second);
    QFETCH(QVector<bool>, write);
    QFETCH(int, asked);
    // Three records the flash already holds.
    QVector<DiffRecord> records;
    for (uint32_t i = 0; i < 3; ++i)
        records.append({i * 0x1000, 0x100, 0xC0DE0000 + i, 0, 0, 0, 0});
    int questions = 0;
    QCOMPARE(survey_diff_records(records, [&](const SurveyRegion& r) {
                 return ++questions == 2 ? SurveyAnswer{SurveyReply(second), 0}
                                         : SurveyAnswer{SurveyReply::Crc, 0xC0DE0000 + r.offset / 0x1000};
             }),
             write);
    QCOMPARE(questions, asked);
}

void SkipPlanTest::image_as_left_in_flash_data()
{
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("size");

    QTest::newRow("exact tail") << 5000 << int(TailStyle::Exact) << 5000;
    QTest::newRow("padded tail") << 5000 << int(TailStyle::PaddedAlways) << 4096 + 2047;
    QTest::newRow("padded empty tail") << 4096 << int(TailStyle::PaddedAlways) << 4096 + 2047;
    QTest::newRow("short image, padded") << 10 << int(TailStyle::PaddedAlways) << 2047;
}

void SkipPlanTest::image_as_left_in_flash()
{
    QFETCH(int, len);
    QFETCH(int, style);
    QFETCH(int, size);
    const QByteArray image = noise(len + 100, 3);  // bytes past len are not the image's
    const QByteArray out = ::image_as_left_in_flash(image, len, kBlk, TailStyle(style));
    QCOMPARE(out.size(), size);
    QCOMPARE(out.left(len), image.left(len));
    QCOMPARE(out.mid(len), QByteArray(size - len, '\xFF'));
}

void SkipPlanTest::diff_records_never_skipped_data()
{
    QTest::addColumn<QVector<uint32_t>>("records");  // address, length, ...
    QTest::addColumn<QVector<bool>>("never");
    QTest::newRow("100 bytes at 0, its padding over 1024") << QVector<uint32_t>{0, 100, 1024, 100}
                                                           << QVector<bool>{true, true};
    QTest::newRow("the same, file order reversed") << QVector<uint32_t>{1024, 100, 0, 100} << QVector<bool>{true, true};
    QTest::newRow("padding ends just before") << QVector<uint32_t>{0, 100, 2047, 100, 8192, 4096}
                                              << QVector<bool>{false, false, false};
    QTest::newRow("whole blocks, no padding") << QVector<uint32_t>{0, 2048, 2048, 100} << QVector<bool>{false, false};
    QTest::newRow("duplicate") << QVector<uint32_t>{4096, 100, 0, 10, 4096, 100} << QVector<bool>{true, false, true};
    QTest::newRow("an empty record writes nothing") << QVector<uint32_t>{0, 0, 0, 100} << QVector<bool>{false, false};
}

void SkipPlanTest::diff_records_never_skipped()
{
    QFETCH(QVector<uint32_t>, records);
    QFETCH(QVector<bool>, never);
    QVector<DiffRecord> diff;
    for (int i = 0; i < records.size(); i += 2)
        diff.append({records[i], records[i + 1], 0, 0, 0, 0, 0});
    QCOMPARE(::diff_records_never_skipped(diff, kBlk), never);
}

QTEST_GUILESS_MAIN(SkipPlanTest)
#include "test_skip_plan.moc"
