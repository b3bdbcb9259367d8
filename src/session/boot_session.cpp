// The session as its front ends hold it: its parts, and the report an
// update ends with. Touches nothing the parts do not.

#include "session/boot_session.h"

BootSession::BootSession(SessionSink* sink, TransportMaker maker)
    : link_(sink, std::move(maker)), port_(link_, chip_, images_), flash_(link_, chip_, images_),
      updates_(SessionParts{link_, chip_, images_, bytes_}, port_, flash_),
      mcu_(SessionParts{link_, chip_, images_, bytes_}, port_, flash_, updates_)
{
}

BootSession::~BootSession() = default;

UpdateReport BootSession::update_mcu(const QString& path, const UpdateOptions& options)
{
    bytes_ = {};
    return make_report(Operation::UpdateMcu, mcu_.update_mcu(path, options));
}

UpdateReport BootSession::update_flash(const QString& path, const UpdateOptions& options)
{
    bytes_ = {};
    return make_report(Operation::UpdateFlash, updates_.update_flash(path, options));
}

UpdateReport BootSession::make_report(Operation operation, int code) const
{
    UpdateReport r;
    r.operation = operation;
    r.code = code;
    if (code == 0)
        r.verdict = Verdict::Passed;
    else if (link_.stop().requested())
        r.verdict = Verdict::Stopped;
    else if (link_.removed())
        r.verdict = Verdict::DeviceGone;
    else
        r.verdict = Verdict::Failed;
    r.bytes = bytes_;
    r.chip_id = chip_.chip_id;
    r.chip_model = chip_.model_name();
    r.flash_id = chip_.flash_id;
    r.flash_size = chip_.flash_size;
    r.flash_name = chip_.flash_name;
    return r;
}
