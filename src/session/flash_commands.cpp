// The external-flash commands: set flash mode, get flash ID with the
// catalogue lookup, and the wait of the flash CRC command, members of
// BootSession.


#include "flash/flash_frames.h"
#include "flash/flash_ini.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/boot_session.h"

namespace {
constexpr ReplyWait kFlashModeWait{kSetFlashModePasses, kSetFlashModeSleepMs,
                                   flash_reply_letter(kSetFlashModeLetter), false, false};
constexpr ReplyWait kFlashIdWait{kGetFlashIdPasses, kGetFlashIdSleepMs, flash_reply_letter(kGetFlashIdLetter),
                                 false, false};
// The flash CRC command's replies, progress reports and then the verdict,
// are gathered by flash_crc_wait.
constexpr ReplyWait kFlashCrcSend{0, 0, 0, false, false};
constexpr int kFlashInfoRetryPauseMs = 50;  // between Flash Info's two attempts
constexpr ReplyChecks kFlashModeChecks{flash_text::kSetFlashModeWrongReply};
constexpr ReplyChecks kFlashIdChecks{flash_text::kFlashIdWrongReply, true};
}  // namespace

int BootSession::Set_FlashMode(uint8_t mode)
{
    switch (link_.checked_exchange(build_set_flash_mode_request(mode), kFlashModeWait, kFlashModeChecks)) {
    case Reply::Ok:
        log_line(flash_text::kSetFlashModeOk);
        return flash_mode_result::kOk;
    case Reply::WrongLetter:
        return flash_mode_result::kWrongReply;
    default:
        return flash_mode_result::kTimedOut;
    }
}

int BootSession::Get_FlashID(uint8_t variant)
{
    if (refuse_closed_port())
        return flash_id_result::kPortClosed;
    sink_->flash_fields(QStringLiteral("0"), QStringLiteral("0"), QString());
    switch (link_.checked_exchange(build_get_flash_id_request(variant), kFlashIdWait, kFlashIdChecks)) {
    case Reply::Ok:
        flash_id = parse_flash_id_reply(link_.reply()).id;
        return Lookup_FlashIni(flash_id) == lookup_flash_ini_result::kListed ? flash_id_result::kOk
                                                                             : flash_id_result::kNotCatalogued;
    case Reply::WrongLetter:
        return flash_id_result::kWrongReply;
    default:
        return flash_id_result::kTimedOut;
    }
}

int BootSession::Lookup_FlashIni(uint32_t id)
{
    const FlashCatalogueLookup lookup = lookup_flash_catalogue(flash_ini_path(), id, chip_id_);
    flash_size = lookup.flash_size;
    flash_name = lookup.flash_name;
    flash_catalogue_problem = lookup.problem;
    sink_->flash_fields(lookup.id_text, lookup.size_text, flash_name);
    return lookup.found ? lookup_flash_ini_result::kListed : lookup_flash_ini_result::kNotListed;
}

int BootSession::identify_flash(int pause_ms)
{
    flash_catalogue_problem.clear();
    if (Get_FlashID(0) == flash_id_result::kOk)
        return flash_id_result::kOk;
    if (pause_ms > 0)
        platform::sleep_ms(pause_ms);
    const int result = Get_FlashID(1);
    // The catalogue itself is silent about a missing or useless Flash.ini;
    // one line after the identification's own says which it is.
    if (result != flash_id_result::kOk && !flash_catalogue_problem.isEmpty())
        log_line(flash_catalogue_problem);
    return result;
}

int BootSession::flash_info()
{
    link_.discard_input();
    return identify_flash(kFlashInfoRetryPauseMs);
}

int BootSession::prepare_flash_mode(int mode, bool announce_nand)
{
    if (mode != kFlashMode32BitAddress && mode != kFlashModeNand)
        return prepare_flash_mode_result::kOk;
    if (Set_FlashMode(uint8_t(mode)) != flash_mode_result::kOk)
        return prepare_flash_mode_result::kFailed;
    if (mode == kFlashMode32BitAddress)
        log_line(flash_text::kSet32BitAddress);
    else if (announce_nand)
        log_line(QStringLiteral("Set nand flash"));
    return prepare_flash_mode_result::kOk;
}

int BootSession::flash_crc_wait(const FlashCrcJob& job)
{
    const bool survey = job.check == FlashCrcCheck::Survey;
    const int budget = survey ? survey_crc_budget(job.length) : flash_crc_budget(job.length);
    for (int pass = 1;; ++pass) {
        if (link_.reply_ready()) {
            const FlashCrcStep step = judge_flash_crc_reply(job, link_.reply());
            if (step.wrong_reply)
                log_line(hex_bytes_text(link_.reply(), kWrongReplyDumpBytes));
            for (const QString& line : step.log_lines)
                log_line(line);
            if (step.done) {
                if (step.passed) {
                    log_timestamp();
                    set_progress(kProgressDone);
                }
                return step.result;
            }
            if (step.progress >= 0)
                set_progress(step.progress);
            link_.pump();
            link_.take_reply();
            link_.pause_for_reply(kFlashCrcProgressSleepMs);
        } else {
            link_.pause_for_reply(kFlashCrcIdleSleepMs);
        }
        link_.pump();
        // Exit and device removal end the wait without a word.
        if (link_.aborted())
            return flash_crc_result::kMismatch;
        if (pass > budget) {
            link_.wait_ran_out();
            if (!survey)
                show_error(texts::kTimeOver);
            return flash_crc_result::kTimedOut;
        }
    }
}

int BootSession::run_flash_crc(const FlashCrcJob& job)
{
    link_.exchange(build_flash_crc_request(job.start, job.length, job.crc), kFlashCrcSend);
    return flash_crc_wait(job);
}
