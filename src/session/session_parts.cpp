// The reports every procedure makes, and the chip's and images' own small
// rules. Touches only what it is handed.

#include "session/session_parts.h"

#include "flash/flash_frames.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "session/session_sink.h"

namespace say {
void line(Link& link, const QString& text)
{
    link.sink().log_line(text);
}

void error(Link& link, const QString& text)
{
    link.sink().error_box(QStringLiteral("Message"), text);
}

void progress(Link& link, int percent)
{
    link.sink().progress(percent);
}

void timestamp(Link& link)
{
    const platform::LocalTime t = platform::local_time();
    line(link, QStringLiteral("Timer:%1:%2:%3").arg(t.hour).arg(t.minute).arg(t.second));
}
}  // namespace say

bool refuse_closed_port(Link& link)
{
    if (link.is_open())
        return false;
    // After a loss that ended the waits, the port is closed because it was
    // lost: its own line said so, once.
    if (!link.ended_by_loss())
        say::error(link, texts::kPleaseOpenPort);
    return true;
}

QString ChipFacts::model_name() const
{
    if (chip_id == 0)
        return QString();
    if (chip_id == kUnknownChipId)
        return QStringLiteral("unknown");
    return ::model_name(model_index_of(chip_id));
}

bool ChipFacts::app_in_external_flash() const
{
    return chip_model(chip_id).app == AppStore::ExternalFlash;
}

uint32_t SelectedImages::flash_expected_crc(bool send_file_crc) const
{
    return image_check_expected_crc(send_file_crc, flash_has_info ? 1 : 0, flash_info_crc, flash_crc);
}
