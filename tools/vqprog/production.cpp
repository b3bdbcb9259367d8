#include "production.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>

#include "console.h"
#include "flashimage/flash_limits.h"
#include "platform/file_read.h"
#include "platform/file_write.h"
#include "protocol/crc32.h"
#include "protocol/hex_text.h"
#include "session/boot_session.h"
#include "signal_watch.h"

namespace {

const char* memory_folder(StampMemory memory)
{
    return memory == StampMemory::Flash ? "flash" : "mcu";
}

}  // namespace

BoardProduction::BoardProduction(const Options& options, Console& console, const BootSession& session,
                                 const QString& port, const UpdateReport& last_update)
    : options_(options), p_(options.production), console_(console), session_(session), port_(port),
      last_update_(last_update)
{
}

BoardProduction::~BoardProduction() = default;

bool BoardProduction::active() const
{
    return p_.takes_serial() || !p_.records.isEmpty();
}

int BoardProduction::begin()
{
    if (!active())
        return kExitOk;
    const QStringList refusals = check_stamps_against_images(options_);
    for (const QString& e : refusals)
        console_.error(e);
    if (!refusals.isEmpty())
        return kExitUsage;
    QString error;
    const bool gang_child = qEnvironmentVariableIsSet(kRecordsOpenedEnv);
    if (!p_.records.isEmpty()) {
        records_ = RecordsDb::open(p_.records, gang_child ? RecordsDb::Access::Existing : RecordsDb::Access::Write,
                                   &error);
        if (!records_) {
            console_.error(error);
            return kExitUsage;
        }
    }
    // Taken at the board's start and never given back: a board that fails
    // keeps its number, and its record says it failed.
    serial_ = p_.serial;
    const qint64 start = gang_child ? -1 : p_.serial_start;  // the parent made the counter
    if (!p_.serial_counter.isEmpty() && !records_->take_serial(p_.serial_counter, start, &serial_, &error)) {
        console_.error(error);
        return kExitUsage;
    }
    if (serial_ >= 0)
        console_.note(QStringLiteral("serial number %1").arg(serial_));
    for (const BoardStamp& s : p_.stamps)
        stamp_values_ << stamp_value_text(s, serial_);

    for (const Action& a : options_.actions) {
        StampMemory memory;
        bool updates = false;
        if (a.arg.isEmpty() || !action_image_memory(a, &memory, &updates) || image_index(memory, a.arg) >= 0)
            continue;
        if (!stamp_image(memory, a.arg, &error)) {
            console_.error(error);
            // The number is spent all the same: say what became of it.
            record(options_.actions.first(), false, false, 0);
            record_board(kExitFailed, 0);
            return kExitFailed;
        }
    }
    return kExitOk;
}

bool BoardProduction::stamp_image(StampMemory memory, const QString& file, QString* error)
{
    const WholeFileRead in = read_whole_file(file, kMaxImageFileBytes);
    if (in.status != WholeFileStatus::Ok) {
        *error = whole_file_problem(file, in, kMaxImageFileBytes);
        return false;
    }
    QByteArray bytes = in.bytes;
    Image image;
    image.given = file;
    image.path = file;
    const bool stamped = std::any_of(p_.stamps.begin(), p_.stamps.end(),
                                     [memory](const BoardStamp& s) { return s.memory == memory; });
    if (stamped) {
        const StampedImage s = apply_board_stamps(p_.stamps, memory, bytes, QFileInfo(file).fileName(), serial_);
        if (!s.ok) {
            *error = s.errors.join(QStringLiteral("; "));
            return false;
        }
        bytes = s.bytes;
        if (!stamped_dir_)
            stamped_dir_ = std::make_unique<QTemporaryDir>();
        // The session judges an image by its name (.bin, .diff): the copy keeps it.
        const QString folder = stamped_dir_->filePath(
            QStringLiteral("%1-%2").arg(QLatin1String(memory_folder(memory))).arg(images_[int(memory)].size()));
        image.path = folder + QLatin1Char('/') + QFileInfo(file).fileName();
        QString why;
        if (!stamped_dir_->isValid() || !QDir().mkpath(folder) || !replace_file(image.path, bytes, &why)) {
            *error = QStringLiteral("cannot write the stamped copy of %1 for serial %2").arg(file).arg(serial_);
            if (!why.isEmpty())
                *error += QStringLiteral(": ") + why;
            return false;
        }
    }
    image.length = bytes.size();
    image.crc = hex32_text(boot_crc32(bytes));
    images_[int(memory)].append(image);
    return true;
}

int BoardProduction::image_index(StampMemory memory, const QString& given) const
{
    const QVector<Image>& list = images_[int(memory)];
    for (int i = 0; i < list.size(); ++i) {
        if (list[i].given == given)
            return i;
    }
    return -1;
}

const BoardProduction::Image* BoardProduction::image_of(const Action& given) const
{
    StampMemory memory;
    bool updates = false;
    if (!action_image_memory(given, &memory, &updates))
        return nullptr;
    const int i = given.arg.isEmpty() ? last_image_[int(memory)] : image_index(memory, given.arg);
    return i >= 0 ? &images_[int(memory)][i] : nullptr;
}

Action BoardProduction::for_session(const Action& given) const
{
    const Image* image = given.arg.isEmpty() ? nullptr : image_of(given);
    return image ? Action{given.name, image->path} : given;
}

void BoardProduction::record(const Action& given, bool ok, bool device_gone, double seconds)
{
    StampMemory memory;
    bool updates = false;
    const Image* image = image_of(given);
    if (image && action_image_memory(given, &memory, &updates))
        last_image_[int(memory)] = int(image - images_[int(memory)].constData());
    if (!records_)
        return;

    BoardRecord r = board_record(seconds);
    r.action = given.name;
    if (image) {
        r.image_file = QFileInfo(image->given).fileName();
        r.image_length = image->length;
        r.image_crc = image->crc;
    }
    const int stopped_by = ok ? 0 : SignalWatch::caught_now();
    r.verdict = verdict_of(ok, device_gone, stopped_by);
    r.exit_code = ok ? kExitOk
                     : stopped_by ? SignalWatch::exit_code(stopped_by) : device_gone ? kExitDeviceGone : kExitFailed;
    r.seconds = seconds;
    if (updates && image) {
        r.bytes_written = last_update_.bytes.bytes_written;
        r.bytes_skipped = last_update_.bytes.bytes_skipped;
    }
    add(r);
}

BoardRecord BoardProduction::board_record(double seconds) const
{
    BoardRecord r;
    r.time_utc = QDateTime::currentDateTimeUtc().addMSecs(-qint64(seconds * 1000));
    r.station = p_.station;
    r.port = port_;
    if (session_.chip().chip_id != 0) {
        r.chip_model = session_.chip().model_name();
        r.chip_id = hex32_text(session_.chip().chip_id);
        r.boot_version = QString::number(session_.chip().boot_version, 16);  // as the connect logs it
    }
    if (session_.chip().flash_id != 0) {
        r.flash_id = hex_lower_text(session_.chip().flash_id);
        r.flash_name = session_.chip().flash_name;
    }
    r.stamps = stamp_values_;
    r.serial = serial_;
    r.counter = p_.serial_counter;
    return r;
}

void BoardProduction::record_board(int exit_code, double seconds)
{
    // A board stopped before its first record has nothing to close; one that
    // lost a record did not pass, and without this one it does not count as passed.
    if (!records_ || tried_ == 0 || lost_ > 0 || board_recorded_)
        return;
    board_recorded_ = true;
    BoardRecord r = board_record(seconds);
    r.action = QLatin1String(kBoardAction);
    const int stopped_by = exit_code == kExitOk ? 0 : SignalWatch::caught_now();
    r.verdict = verdict_of(exit_code == kExitOk, exit_code == kExitDeviceGone, stopped_by);
    r.exit_code = stopped_by ? SignalWatch::exit_code(stopped_by) : exit_code;
    r.seconds = seconds;
    add(r);
}

QString verdict_of(bool ok, bool device_gone, int stopped_by)
{
    if (ok)
        return QLatin1String(verdicts::kOk);
    if (stopped_by != 0)
        return QLatin1String(verdicts::kStopped);
    return QLatin1String(device_gone ? verdicts::kDeviceGone : verdicts::kFailed);
}

QString action_verdict(bool ok, bool device_gone)
{
    return verdict_of(ok, device_gone, ok ? 0 : SignalWatch::caught_now());
}

void BoardProduction::add(const BoardRecord& record)
{
    QString error;
    ++tried_;
    if (!records_->add(record, &error)) {
        ++lost_;
        console_.error(error);
    }
}

void BoardProduction::report_lost_records()
{
    if (lost_ > 0)
        console_.error(QStringLiteral("records %1: %2 record(s) of this board could not be written (see above); "
                                      "the board does not pass")
                           .arg(records_->display())
                           .arg(lost_));
}
