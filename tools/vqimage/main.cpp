// vqimage: makes, stamps, inspects and dry-runs flash images without a
// device, on the same rules the programming tool applies at Input File and
// Update Flash. Exit 0 on success, 1 when an input is refused or a check
// fails, 2 on bad arguments. Outputs are written to a temporary file and
// renamed, so an interrupted run never leaves half an image behind, and a
// failed one leaves the old file as it was.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cstring>

#include <algorithm>
#include <csignal>

#include "flashimage/diff_builder.h"
#include "flashimage/diff_check.h"
#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "platform/file_read.h"
#include "platform/file_write.h"
#include "protocol/crc32.h"
#include "protocol/hex_text.h"
#include "vq_version.h"

namespace {

enum Exit : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const char kUsageDiff[] = "usage: vqimage diff OLD.bin NEW.bin -o UPDATE.diff [--index N] [--align BYTES]";
const char kUsageApply[] = "usage: vqimage apply FLASH.bin UPDATE.diff -o RESULT.bin [--no-image-check]";
const char kUsageStamp[] = "usage: vqimage stamp IMAGE.bin [-o OUT.bin]";
const char kUsageInfo[] = "usage: vqimage info FILE [--json] [--flash-size BYTES]";

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

int fail(const QString& message)
{
    err() << "vqimage: error: " << message << '\n';
    return kExitFailed;
}

int usage(const char* line, const QString& why = QString())
{
    if (!why.isEmpty())
        err() << "vqimage: " << why << '\n';
    err() << line << '\n';
    return kExitUsage;
}

// Reads an input the operator names; says what is wrong with it otherwise.
// A file larger than any flash is refused from its size, unread.
bool read_input(const QString& path, QByteArray* bytes, QString* why)
{
    WholeFileRead r = read_whole_file(path, kLargestFlashBytes);
    if (r.status != WholeFileStatus::Ok) {
        *why = whole_file_problem(path, r, kLargestFlashBytes);
        return false;
    }
    *bytes = std::move(r.bytes);
    return true;
}

bool read_nonempty_input(const QString& path, QByteArray* bytes, QString* why)
{
    if (!read_input(path, bytes, why))
        return false;
    if (bytes->isEmpty()) {
        *why = path + QStringLiteral(": the file is empty");
        return false;
    }
    return true;
}

bool write_output(const QString& path, const QByteArray& bytes, QString* why)
{
    return replace_file(path, bytes, why);
}

// Parses one command's arguments; false after printing the usage line.
bool parse(QCommandLineParser& parser, const QStringList& args, const char* usage_line, int positional,
           int* exit_code)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("This text."));
    parser.addOption(help);
    if (!parser.parse(args)) {
        *exit_code = usage(usage_line, parser.errorText());
        return false;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText().section(QLatin1Char('\n'), 1);
        if (!text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        out() << usage_line << '\n' << text;
        out().flush();
        *exit_code = kExitOk;
        return false;
    }
    if (parser.positionalArguments().size() != positional) {
        *exit_code = usage(usage_line, QStringLiteral("expected %1 file arguments, got %2")
                                           .arg(positional)
                                           .arg(parser.positionalArguments().size()));
        return false;
    }
    return true;
}

bool parse_uint(const QString& text, qint64 max, qint64* value)
{
    bool ok = false;
    const qint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toLongLong(&ok, 16)
                                                                               : text.toLongLong(&ok, 10);
    if (!ok || v < 0 || v > max)
        return false;
    *value = v;
    return true;
}

QString record_line(uint32_t address, uint32_t length, uint32_t crc)
{
    return hex32_text(address) + QLatin1Char(' ') + QString::number(length) + QLatin1Char(' ') + hex32_text(crc);
}

int run_diff(const QStringList& args)
{
    QCommandLineParser p;
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The .diff to write."), QStringLiteral("UPDATE.diff"));
    const QCommandLineOption index(QStringLiteral("index"), QStringLiteral("diff_index of the header (default 0)."),
                                   QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption align(QStringLiteral("align"),
                                   QStringLiteral("Records start at multiples of this (default %1).")
                                       .arg(kDefaultDiffAlign),
                                   QStringLiteral("BYTES"), QString::number(kDefaultDiffAlign));
    p.addOptions({output, index, align});
    p.addPositionalArgument(QStringLiteral("OLD.bin"), QStringLiteral("The image the flash holds."));
    p.addPositionalArgument(QStringLiteral("NEW.bin"), QStringLiteral("The image it must hold afterwards."));
    int code = kExitOk;
    if (!parse(p, args, kUsageDiff, 2, &code))
        return code;
    const QString out_path = p.value(output);
    if (out_path.isEmpty())
        return usage(kUsageDiff, QStringLiteral("-o UPDATE.diff is required"));
    if (!is_diff_image_name(out_path))
        return usage(kUsageDiff, QStringLiteral("the output must be named *.diff: Update Flash programs any other "
                                                "name as a plain image"));
    qint64 index_value = 0;
    qint64 align_value = 0;
    if (!parse_uint(p.value(index), 0xFFFFFFFFLL, &index_value))
        return usage(kUsageDiff, QStringLiteral("--index takes a number from 0 to 0xFFFFFFFF"));
    if (!parse_uint(p.value(align), kMaxDiffAlign, &align_value) || align_value < 1)
        return usage(kUsageDiff, QStringLiteral("--align takes a number of bytes from 1 to %1").arg(kMaxDiffAlign));

    for (const QString& path : p.positionalArguments()) {
        if (is_diff_image_name(path))
            return fail(path + QStringLiteral(": named *.diff, so a differential image to the tool; diff takes "
                                              "plain images"));
    }
    QByteArray old_image;
    QByteArray new_image;
    QString why;
    if (!read_nonempty_input(p.positionalArguments()[0], &old_image, &why) ||
        !read_nonempty_input(p.positionalArguments()[1], &new_image, &why))
        return fail(why);

    DiffBuildOptions options;
    options.index = uint32_t(index_value);
    options.align = int(align_value);
    const DiffBuild built = build_diff(old_image, new_image, options);
    if (built.status != DiffBuildStatus::Ok)
        return fail(built.error);
    // The builder's own proof before anything is written, on OLD's own
    // buffer: OLD is not needed afterwards, and a copy costs more than the proof.
    QByteArray flash = image_as_programmed(old_image);
    old_image = QByteArray();
    const DiffDryRun proof = apply_diff(std::move(flash), built.file);
    if (!proof.ok)
        return fail(QStringLiteral("internal fault, nothing written: the built .diff does not apply: ") + proof.error);
    if (!write_output(out_path, built.file, &why))
        return fail(why);

    qint64 data = 0;
    for (const DiffRecordRange& r : built.records) {
        out() << "record " << record_line(r.address, r.length, r.crc) << '\n';
        data += r.length;
    }
    out() << "wrote " << out_path << ": " << built.file.size() << " bytes, " << built.records.size()
          << " records, " << data << " of " << new_image.size() << " bytes of the new image" << '\n';
    return kExitOk;
}

int run_apply(const QStringList& args)
{
    QCommandLineParser p;
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The flash after the update."), QStringLiteral("RESULT.bin"));
    const QCommandLineOption no_image_check(QStringLiteral("no-image-check"),
                                            QStringLiteral("Do not compare the result with the new image the "
                                                           "header names (nFile_lenght, nFile_ui_crc)."));
    p.addOptions({output, no_image_check});
    p.addPositionalArgument(QStringLiteral("FLASH.bin"), QStringLiteral("A flash dump, or the image programmed."));
    p.addPositionalArgument(QStringLiteral("UPDATE.diff"), QStringLiteral("The differential image."));
    int code = kExitOk;
    if (!parse(p, args, kUsageApply, 2, &code))
        return code;
    const QString out_path = p.value(output);
    if (out_path.isEmpty())
        return usage(kUsageApply, QStringLiteral("-o RESULT.bin is required"));
    const QString diff_path = p.positionalArguments()[1];
    if (!is_diff_image_name(diff_path))
        return fail(diff_path + QStringLiteral(": not named *.diff; Update Flash would program it as a plain image"));

    QByteArray flash;
    QByteArray diff;
    QString why;
    if (!read_nonempty_input(p.positionalArguments()[0], &flash, &why) || !read_nonempty_input(diff_path, &diff, &why))
        return fail(why);
    // An image file stands for the flash it was programmed into.
    if (read_image_info_block(flash).valid) {
        flash = image_as_programmed(flash);
        out() << "FLASH carries a valid info block: taken as programmed, bytes 372..383 as 0xFF" << '\n';
    }

    DryRunOptions options;
    options.check_new_image = !p.isSet(no_image_check);
    const DiffDryRun run = apply_diff(std::move(flash), diff, options);
    for (const DryRunRecord& r : run.records) {
        out() << "record " << record_line(r.address, r.length, r.crc) << ": block writes " << r.writes << ", "
              << (r.flash_crc == r.crc ? "Check blcok flash CRC pass" : "Check flash CRC fail") << '\n';
    }
    if (!run.ok)
        return fail(run.error + QStringLiteral("; nothing written"));
    if (run.image_checked)
        out() << "new image: " << run.header[kNFileLenght] << " bytes, CRC " << hex32_text(run.image_crc)
              << " = nFile_ui_crc" << '\n';
    if (!write_output(out_path, run.flash, &why))
        return fail(why);
    out() << "wrote " << out_path << ": " << run.flash.size() << " bytes" << '\n';
    return kExitOk;
}

int run_stamp(const QStringList& args)
{
    QCommandLineParser p;
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Where to write the stamped image (default: IMAGE.bin itself)."),
                                    QStringLiteral("OUT.bin"));
    p.addOption(output);
    p.addPositionalArgument(QStringLiteral("IMAGE.bin"), QStringLiteral("The plain image to stamp."));
    int code = kExitOk;
    if (!parse(p, args, kUsageStamp, 1, &code))
        return code;
    const QString in_path = p.positionalArguments()[0];
    const QString out_path = p.isSet(output) ? p.value(output) : in_path;
    if (out_path.isEmpty())
        return usage(kUsageStamp, QStringLiteral("-o needs a file name"));

    // The info block would break the integrity CRCs of a differential image.
    if (is_diff_image_name(in_path) || is_diff_image_name(out_path))
        return fail(QStringLiteral("stamp takes and writes plain images, not *.diff"));
    QByteArray image;
    QString why;
    if (!read_input(in_path, &image, &why))
        return fail(why);
    if (!stamp_image_info(&image))
        return fail(QStringLiteral("%1: %2 bytes; an image info block needs an image of at least %3 bytes")
                        .arg(in_path)
                        .arg(image.size())
                        .arg(kImageInfoEnd));
    if (!write_output(out_path, image, &why))
        return fail(why);
    const ImageInfoBlock info = read_image_info_block(image);
    out() << "stamped " << out_path << ": length " << info.image_len << ", FlashCRC " << hex32_text(info.flash_crc)
          << '\n';
    return kExitOk;
}

// What the tool would see at Input File, and whether it would program it.
struct Inspection {
    QJsonObject json;
    QStringList lines;
    QString refusal;  // empty when the tool would take the file
};

Inspection inspect_plain(const QByteArray& bytes, const FlashImageCheck& check, qint64 flash_size)
{
    Inspection in;
    in.json[QStringLiteral("kind")] = QStringLiteral("plain");
    in.lines << QStringLiteral("kind: plain image");
    const ImageInfoBlock info = read_image_info_block(bytes);
    QJsonObject block;
    block[QStringLiteral("present")] = info.present;
    block[QStringLiteral("valid")] = info.valid;
    if (!info.present) {
        in.lines << QStringLiteral("info block: none (the image is shorter than %1 bytes)").arg(kImageInfoEnd);
    } else {
        const uint32_t programmed = programmed_flash_crc(bytes);
        block[QStringLiteral("length")] = double(info.image_len);
        block[QStringLiteral("flash_crc")] = hex32_text(info.flash_crc);
        block[QStringLiteral("complement")] = hex32_text(info.flash_crc_complement);
        block[QStringLiteral("programmed_crc")] = hex32_text(programmed);
        in.lines << QStringLiteral("info block: %1").arg(info.valid ? QStringLiteral("valid")
                                                                    : QStringLiteral("not valid"))
                 << QStringLiteral("  length: %1").arg(info.image_len)
                 << QStringLiteral("  FlashCRC: ") + hex32_text(info.flash_crc)
                 << QStringLiteral("  complement: ") + hex32_text(info.flash_crc_complement);
        if (info.valid) {
            in.lines << QStringLiteral("  image as programmed: CRC ") + hex32_text(programmed);
            if (programmed != info.flash_crc)
                in.refusal = QStringLiteral("the info block's FlashCRC %1 is not the CRC of the image as "
                                            "programmed (%2): Check Flash CRC would fail; stamp it again")
                                 .arg(hex32_text(info.flash_crc), hex32_text(programmed));
        }
    }
    in.json[QStringLiteral("info_block")] = block;
    if (bytes.isEmpty())
        in.refusal = QStringLiteral("the image is empty: Update Flash cannot pass with it");
    else if (flash_size > 0 && bytes.size() > flash_size)
        in.refusal = QStringLiteral("the image is %1 bytes, the flash holds %2: Update Flash would refuse it")
                         .arg(bytes.size())
                         .arg(flash_size);
    in.lines << QStringLiteral("label: ") + check.label;
    in.json[QStringLiteral("label")] = check.label;
    return in;
}

Inspection inspect_diff(const QByteArray& bytes, const FlashImageCheck& check, qint64 flash_size)
{
    Inspection in;
    in.json[QStringLiteral("kind")] = QStringLiteral("diff");
    in.lines << QStringLiteral("kind: differential image");
    const char* const names[kDiffHeaderWords] = {"diff_index",  "dblk_lenght", "dblk_crc",    "dblk_number",
                                                 "nFile_lenght", "nFile_crc",  "nFile_ui_crc", "diff_para_crc"};
    QJsonObject header;
    for (int i = 0; i < kDiffHeaderWords; ++i)
        header[QLatin1String(names[i])] = double(check.diff_info[size_t(i)]);
    in.json[QStringLiteral("header")] = header;
    in.json[QStringLiteral("par_tCRC")] = hex32_text(check.par_tcrc);
    in.json[QStringLiteral("blk_tCRC")] = hex32_text(check.blk_tcrc);
    in.lines << check.log_lines;
    if (bytes.size() < kDiffHeaderLen) {
        in.refusal = diff_shorter_than_header(bytes.size());
    } else if (!check.ok) {
        in.refusal = illegal_document(check.par_tcrc != check.diff_info[kDiffParaCrc]
                                          ? QStringLiteral("par_tCRC differs from diff_para_crc")
                                          : QStringLiteral("blk_tCRC differs from dblk_crc"));
    } else {
        const QVector<DiffProblem> problems = check_diff_records(bytes, flash_size);
        // A dblk_lenght that lies would show in the label as another length
        // (a negative one past 2^31), so the label is not shown then.
        const bool length_lies = std::any_of(problems.begin(), problems.end(), [](const DiffProblem& p) {
            return p.kind == DiffProblemKind::BlockAreaLength;
        });
        if (!length_lies) {
            in.lines << QStringLiteral("label: ") + check.label;
            in.json[QStringLiteral("label")] = check.label;
        }
        const DiffWalk walk = walk_diff_records(bytes, check.diff_info);
        QJsonArray records;
        for (const DiffRecord& r : walk.records) {
            QJsonObject o;
            o[QStringLiteral("address")] = double(r.address);
            o[QStringLiteral("length")] = double(r.length);
            o[QStringLiteral("crc")] = hex32_text(r.crc);
            o[QStringLiteral("data_crc")] = hex32_text(diff_record_data_crc(bytes, r));
            records.append(o);
            in.lines << QStringLiteral("record ") + record_line(r.address, r.length, r.crc);
        }
        in.json[QStringLiteral("records")] = records;
        // Written in file order, each checked right after its writes: what a
        // later record's writes do to an earlier one is a problem below.
        QJsonArray overlaps;
        for (const DiffOverlap& o : overlapping_diff_records(walk.records, kFlashBlockLen)) {
            QJsonArray members;
            QStringList numbers;
            for (int i : o.records) {
                members.append(i + 1);
                numbers << QString::number(i + 1);
            }
            overlaps.append(QJsonObject{{QStringLiteral("records"), members},
                                        {QStringLiteral("duplicate"), o.duplicate}});
            in.lines << (o.duplicate ? QStringLiteral("duplicate: records %1 have the same address and length")
                                     : QStringLiteral("overlap: the writes of records %1 (data and 0xFF padding) "
                                                      "meet"))
                            .arg(numbers.join(QStringLiteral(", ")));
        }
        in.json[QStringLiteral("overlaps")] = overlaps;
        QJsonArray found;
        for (const DiffProblem& p : problems) {
            QJsonObject o;
            o[QStringLiteral("index")] = p.index;
            o[QStringLiteral("offset")] = double(p.offset);
            o[QStringLiteral("reason")] = p.reason;
            found.append(o);
            in.lines << QStringLiteral("problem: ") + p.reason;
        }
        in.json[QStringLiteral("problems")] = found;
        if (walk.status == DiffWalkStatus::NoBlocks)
            in.refusal = QStringLiteral("There are not any block to update...: dblk_number is 0");
        else if (!problems.isEmpty())
            in.refusal = problems.size() == 1 ? problems[0].reason
                                              : problems[0].reason + QStringLiteral(" (and %1 more problems)")
                                                                         .arg(problems.size() - 1);
    }
    return in;
}

int run_info(const QStringList& args)
{
    QCommandLineParser p;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print one JSON object."));
    const QCommandLineOption flash_size(QStringLiteral("flash-size"),
                                        QStringLiteral("The flash's size: refuse what does not fit in it."),
                                        QStringLiteral("BYTES"));
    p.addOptions({json, flash_size});
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A .bin or .diff flash image."));
    int code = kExitOk;
    if (!parse(p, args, kUsageInfo, 1, &code))
        return code;
    qint64 flash_bytes = 0;
    if (p.isSet(flash_size) && (!parse_uint(p.value(flash_size), kLargestFlashBytes, &flash_bytes) || flash_bytes < 1))
        return usage(kUsageInfo, QStringLiteral("--flash-size takes a number of bytes from 1 to %1")
                                     .arg(kLargestFlashBytes));
    const QString path = p.positionalArguments()[0];
    QByteArray bytes;
    QString why;
    if (!read_input(path, &bytes, &why))
        return fail(why);

    const FlashImageCheck check = check_flash_image(bytes, path);
    Inspection in = check.is_diff ? inspect_diff(bytes, check, flash_bytes) : inspect_plain(bytes, check, flash_bytes);
    in.json[QStringLiteral("file")] = path;
    in.json[QStringLiteral("length")] = check.len;
    in.json[QStringLiteral("crc")] = hex32_text(check.crc);
    in.json[QStringLiteral("accepted")] = in.refusal.isEmpty();
    if (!in.refusal.isEmpty())
        in.json[QStringLiteral("refusal")] = in.refusal;
    if (p.isSet(json)) {
        out() << QJsonDocument(in.json).toJson(QJsonDocument::Indented);
    } else {
        out() << "file: " << path << '\n'
              << "length: " << check.len << '\n'
              << "crc: " << hex32_text(check.crc) << '\n';
        for (const QString& line : in.lines)
            out() << line << '\n';
        out() << (in.refusal.isEmpty() ? QStringLiteral("verdict: accepted")
                                       : QStringLiteral("verdict: refused: ") + in.refusal)
              << '\n';
    }
    return in.refusal.isEmpty() ? kExitOk : kExitFailed;
}

int general_usage()
{
    err() << kUsageDiff << '\n'
          << kUsageApply << '\n'
          << kUsageStamp << '\n'
          << kUsageInfo << '\n';
    return kExitUsage;
}

int version()
{
    out() << "vqimage " << VQ_VERSION << '\n';
    return kExitOk;
}

// A usage line without its "usage: " lead.
const char* command_form(const char* usage_line)
{
    return usage_line + std::strlen("usage: ");
}

// The whole-program help, which the manual page is also made from.
int general_help()
{
    out() << "Usage: vqimage COMMAND [ARGUMENTS]\n"
             "Makes, stamps, inspects and dry-runs VQ flash images without a device, on the rules the "
             "programming tool applies at Input File and Update Flash.\n\n"
             "Commands:\n"
          << "  " << command_form(kUsageDiff) << "\n      write the .diff that turns a flash holding OLD into one holding NEW\n"
          << "  " << command_form(kUsageApply) << "\n      dry-run an update: RESULT is the flash afterwards\n"
          << "  " << command_form(kUsageStamp) << "\n      write the image info block (length, flash CRC, complement)\n"
          << "  " << command_form(kUsageInfo) << "\n      show a .bin or .diff and whether Update Flash would accept it\n\n"
          << "Options:\n"
             "  -h, --help     display this help and exit; COMMAND --help describes one command\n"
             "  -v, --version  display version information and exit\n\n"
             "Exit status: 0 on success, 1 when an input is refused or a check fails, 2 on bad arguments.\n"
             "Outputs are written to a temporary file and renamed, so an interrupted run leaves no half image.\n";
    return kExitOk;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Past a file-size limit the write fails with EFBIG and is reported,
    // instead of the signal ending the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vqimage"));
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return general_usage();
    const QString command = args[1];
    // The parser sees the command as the program name.
    const QStringList rest = QStringList{args[0] + QLatin1Char(' ') + command} + args.mid(2);
    int code = kExitUsage;
    if (command == QLatin1String("--help") || command == QLatin1String("-h"))
        code = general_help();
    else if (command == QLatin1String("--version") || command == QLatin1String("-v"))
        code = version();
    else if (command == QLatin1String("diff"))
        code = run_diff(rest);
    else if (command == QLatin1String("apply"))
        code = run_apply(rest);
    else if (command == QLatin1String("stamp"))
        code = run_stamp(rest);
    else if (command == QLatin1String("info"))
        code = run_info(rest);
    else
        code = general_usage();
    out().flush();
    err().flush();
    return code;
}
