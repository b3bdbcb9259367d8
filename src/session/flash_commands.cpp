// The external-flash commands: set flash mode, get flash ID with the
// catalogue lookup, and the wait of the flash CRC command. Touch the link and
// the chip's flash facts.


#include "flash/flash_frames.h"
#include "flash/flash_ini.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/session_parts.h"
#include "session/session_sink.h"

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

FlashCommands::FlashCommands(Link& link, ChipFacts& chip, const SelectedImages& images)
    : link_(link), chip_(chip), images_(images)
{
}

int FlashCommands::Set_FlashMode(uint8_t mode)
{
    switch (link_.checked_exchange(build_set_flash_mode_request(mode), kFlashModeWait, kFlashModeChecks)) {
    case Reply::Ok:
        say::line(link_, flash_text::kSetFlashModeOk);
        return flash_mode_result::kOk;
    case Reply::WrongLetter:
        return flash_mode_result::kWrongReply;
    default:
        return flash_mode_result::kTimedOut;
    }
}

int FlashCommands::Get_FlashID(uint8_t variant)
{
    if (refuse_closed_port(link_))
        return flash_id_result::kPortClosed;
    link_.sink().flash_fields(QStringLiteral("0"), QStringLiteral("0"), QString());
    switch (link_.checked_exchange(build_get_flash_id_request(variant), kFlashIdWait, kFlashIdChecks)) {
    case Reply::Ok:
        chip_.flash_id = parse_flash_id_reply(link_.reply().bytes()).id;
        return Lookup_FlashIni(chip_.flash_id) == lookup_flash_ini_result::kListed ? flash_id_result::kOk
                                                                             : flash_id_result::kNotCatalogued;
    case Reply::WrongLetter:
        return flash_id_result::kWrongReply;
    default:
        return flash_id_result::kTimedOut;
    }
}

int FlashCommands::Lookup_FlashIni(uint32_t id)
{
    const FlashCatalogueLookup lookup = lookup_flash_catalogue(flash_ini_path(), id, chip_.chip_id);
    chip_.flash_size = lookup.flash_size;
    chip_.flash_name = lookup.flash_name;
    chip_.flash_catalogue_problem = lookup.problem;
    link_.sink().flash_fields(lookup.id_text, lookup.size_text, chip_.flash_name);
    return lookup.found ? lookup_flash_ini_result::kListed : lookup_flash_ini_result::kNotListed;
}

int FlashCommands::identify_flash(int pause_ms)
{
    chip_.flash_catalogue_problem.clear();
    if (Get_FlashID(0) == flash_id_result::kOk)
        return flash_id_result::kOk;
    if (pause_ms > 0)
        platform::sleep_ms(pause_ms);
    const int result = Get_FlashID(1);
    // The catalogue itself is silent about a missing or useless Flash.ini;
    // one line after the identification's own says which it is.
    if (result != flash_id_result::kOk && !chip_.flash_catalogue_problem.isEmpty())
        say::line(link_, chip_.flash_catalogue_problem);
    return result;
}

int FlashCommands::flash_info()
{
    link_.discard_input();
    return identify_flash(kFlashInfoRetryPauseMs);
}

int FlashCommands::prepare_flash_mode(int mode, bool announce_nand)
{
    if (mode != kFlashMode32BitAddress && mode != kFlashModeNand)
        return prepare_flash_mode_result::kOk;
    if (Set_FlashMode(uint8_t(mode)) != flash_mode_result::kOk)
        return prepare_flash_mode_result::kFailed;
    if (mode == kFlashMode32BitAddress)
        say::line(link_, flash_text::kSet32BitAddress);
    else if (announce_nand)
        say::line(link_, QStringLiteral("Set nand flash"));
    return prepare_flash_mode_result::kOk;
}

int FlashCommands::flash_crc_wait(const FlashCrcJob& job)
{
    const bool survey = job.check == FlashCrcCheck::Survey;
    const int budget = survey ? survey_crc_budget(job.length) : flash_crc_budget(job.length);
    for (int pass = 1;; ++pass) {
        if (link_.reply().whole()) {
            const FlashCrcStep step = judge_flash_crc_reply(job, link_.reply().bytes());
            if (step.wrong_reply)
                say::line(link_, hex_bytes_text(link_.reply().bytes(), kWrongReplyDumpBytes));
            for (const QString& line : step.log_lines)
                say::line(link_, line);
            if (step.done) {
                if (step.passed) {
                    say::timestamp(link_);
                    say::progress(link_, kProgressDone);
                }
                return step.result;
            }
            if (step.progress >= 0)
                say::progress(link_, step.progress);
            link_.pump();
            link_.reply().take();
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
                say::error(link_, texts::kTimeOver);
            return flash_crc_result::kTimedOut;
        }
    }
}

int FlashCommands::run_flash_crc(const FlashCrcJob& job)
{
    link_.exchange(build_flash_crc_request(job.start, job.length, job.crc), kFlashCrcSend);
    return flash_crc_wait(job);
}
