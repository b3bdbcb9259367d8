// The session itself and its port: opening, closing, the boot sequences,
// identifying the chip, members of BootSession.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "protocol/texts.h"
#include "serial/port_advice.h"
#include "serial/rates.h"
#include "session/boot_session.h"

namespace {
constexpr int kBootSettleMs = 100;  // lets the sequence leave before the port closes
constexpr int kRunSettleMs = 60;    // lets the run frame leave before the port closes
// The boot loader hands over to the application and answers nothing.
constexpr ReplyWait kRunSend{0, 0, 0, false, false};
// A busy boot loader's leftovers (CRC progress reports, a queued reply) come
// well inside this of each other; a line this quiet is free for a connect.
constexpr int kBusyQuietMs = 300;
constexpr int kDrainSliceMs = 20;

// A USB serial adapter holds a short reply for its latency timer (several
// milliseconds a block) unless its driver is asked to hand bytes over at
// once. Drivers that do not know the request, a pseudo-terminal among
// them, are left as they are; on Windows the adapter's own setting rules.
void request_low_latency(QSerialPort& port)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(port.handle(), TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(port.handle(), TIOCSSERIAL, &settings);
    }
#else
    Q_UNUSED(port)
#endif
}
}  // namespace

BootSession::BootSession(SessionSink* sink, QObject* parent) : QObject(parent), sink_(sink)
{
    serial = new QSerialPort;
}

BootSession::~BootSession()
{
    // A device that went away under the open port reports its error while
    // the port closes; nobody is left to handle it.
    serial->disconnect(this);
    if (serial->isOpen())
        close_port();
    delete serial;
}

void BootSession::log_line(const QString& text)
{
    sink_->log_line(text);
}

void BootSession::show_error(const QString& text)
{
    sink_->error_box(QStringLiteral("Message"), text);
}

void BootSession::set_progress(int percent)
{
    sink_->progress(percent);
}

void BootSession::log_timestamp()
{
    const platform::LocalTime t = platform::local_time();
    log_line(QStringLiteral("Timer:%1:%2:%3").arg(t.hour).arg(t.minute).arg(t.second));
}

QString BootSession::chip_model_name() const
{
    if (chip_id_ == 0)
        return QString();
    if (chip_id_ == kUnknownChipId)
        return QStringLiteral("unknown");
    return model_name(model_index_of(chip_id_));
}

bool BootSession::app_in_external_flash() const
{
    return chip_model(chip_id_).app == AppStore::ExternalFlash;
}

UpdateReport BootSession::make_report(Operation operation, int code) const
{
    UpdateReport r;
    r.operation = operation;
    r.code = code;
    if (code == 0)
        r.verdict = Verdict::Passed;
    else if (stop_requested == 1)
        r.verdict = Verdict::Stopped;
    else if (port_removed_)
        r.verdict = Verdict::DeviceGone;
    else
        r.verdict = Verdict::Failed;
    r.bytes = update_bytes_;
    r.chip_id = chip_id_;
    r.chip_model = chip_model_name();
    r.flash_id = flash_id;
    r.flash_size = flash_size;
    r.flash_name = flash_name;
    return r;
}

bool BootSession::port_open() const
{
    return serial && serial->isOpen();
}

void BootSession::renew_port()
{
    if (serial->isOpen())
        close_port();
    serial->disconnect(this);
    serial->deleteLater();
    serial = new QSerialPort;
}

bool BootSession::open_port(const QString& name, int rate_index, HolderLook look)
{
    // Reusing the port object: drop the connections of its last open.
    serial->disconnect(this);
    port_name_ = name;
    serial->setPortName(port_name_);
    serial->setBaudRate(baud_rate_for_index(rate_index), QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    // A port another program has locked is not opened even where the open
    // would pass: two programs on one line garble each other's frames.
    if (port_lock_holder(port_name_, look) || !serial->open(QIODevice::ReadWrite)) {
        sink_->notice_box(QStringLiteral("Title"), QString::fromLatin1(texts::kOpenFail));
        const QString advice = port_open_advice(gather_port_facts(port_name_));
        if (!advice.isEmpty())
            log_line(advice);
        return false;
    }
    request_low_latency(*serial);
    connect(serial, &QSerialPort::readyRead, this, &BootSession::serial_receiveData, Qt::DirectConnection);
    connect(serial, &QSerialPort::errorOccurred, this, &BootSession::serial_error, Qt::DirectConnection);
    port_removed_ = false;
    // A new session starts with an empty reply buffer: a partial reply of
    // the last one would be put in front of the first reply of this one.
    rx_len = 0;
    rx_ready = 0;
    return true;
}

void BootSession::close_port()
{
    discard_input();
    serial->close();
}

void BootSession::mark_port_removed()
{
    link_down = 1;
    port_removed_ = true;
    serial->close();
}

void BootSession::serial_error()
{
    const QSerialPort::SerialPortError error = serial->error();
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!serial->isOpen())
        return;
    // The device went away under the open port (on Linux a hung-up tty
    // floods read errors until the port is closed): the front end handles
    // it as the removal of that port, once.
    sink_->port_failed(port_name_);
}

int BootSession::send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence)
{
    if (!open_port(name, rate_index))
        return operation_result::kOpenFailed;
    discard_input();
    rx_wait_enabled = 1;
    write_frame(sequence);
    platform::sleep_ms(kBootSettleMs);
    return operation_result::kOk;
}

int BootSession::open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps)
{
    OpenSteps none;
    OpenSteps& s = steps ? *steps : none;
    set_receive_wait_ms(link->wait_ms);
    int result = open_at(name, *link, s);
    if (reconnect_state == kReconnectAgreed) {
        // The boot loader now listens at the New Rate.
        close_port();
        link->rate_index = link->new_rate_index;
        s.rate_moved(link->rate_index);
        log_line(QStringLiteral("Reconnected with the new baud rate..."));
        result = open_at(name, *link, s);
    }
    reconnect_state = kReconnectNone;
    return result;
}

int BootSession::open_at(const QString& name, const LinkSettings& link, OpenSteps& steps)
{
    renew_port();
    if (!open_port(name, link.rate_index))
        return operation_result::kOpenFailed;
    steps.port_opened();
    connect_heard_busy_ = false;
    int identified = identify_chip(link);
    // Only a boot loader that answered out of turn is asked again: a silent
    // line or a chip of no catalogued model fails at once, as it always has.
    QDeadlineTimer deadline(busy_retry_ms_);
    while (identified != identify_chip_result::kOk && connect_heard_busy_ && busy_retry_ms_ > 0 &&
           !deadline.hasExpired() && serial->isOpen()) {
        log_line(QStringLiteral("The boot loader is still busy: connecting again when the line is quiet"));
        if (!drain_until_quiet(kBusyQuietMs, deadline))
            break;
        // Once heard busy it stays so: a boot loader still computing may let
        // the next connect go unanswered.
        identified = identify_chip(link);
    }
    steps.chip_asked();
    return identified == identify_chip_result::kOk ? operation_result::kOk : operation_result::kNoChip;
}

bool BootSession::drain_until_quiet(int quiet_ms, const QDeadlineTimer& deadline)
{
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quiet_ms) {
        if (aborted() || !serial->isOpen() || deadline.hasExpired())
            return false;
        pause_for_reply(kDrainSliceMs);
        if (rx_len > 0 || rx_ready == 1 || serial->bytesAvailable() > 0) {
            discard_input();
            quiet.restart();
        }
    }
    return true;
}

int BootSession::identify_chip(const LinkSettings& link)
{
    chip_id_ = 0;
    int result = identify_chip_result::kNotIdentified;
    for (int i = 0; i < kChipModelCount; ++i) {
        const int connected = connect_device(kIdentifyMode, kChipModels[i].chip_id, link);
        if (connected < 0)
            break;
        if (connected == connect_result::kOk) {
            chip_id_ = kChipModels[i].chip_id;
            sink_->chip_identified(chip_id_, model_name(i));
            sink_->actions_enabled(true);
            if (reconnect_state == kReconnectAsked)
                reconnect_state = kReconnectAgreed;
            result = identify_chip_result::kOk;
            break;
        }
    }
    if (result != identify_chip_result::kOk) {
        chip_id_ = kUnknownChipId;
        sink_->chip_identified(chip_id_, chip_model_name());
    }
    // A device removed during identification stays down.
    if (serial->isOpen())
        link_down = 0;
    return result;
}

int BootSession::run_application(uint32_t start_address)
{
    exchange(build_run_request(start_address), kRunSend);
    return run_application_result::kSent;
}

int BootSession::start_application()
{
    if (refuse_closed_port())
        return operation_result::kPortClosed;
    discard_input();
    const int result = run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    return result;
}

bool BootSession::refuse_closed_port()
{
    if (serial->isOpen())
        return false;
    show_error(texts::kPleaseOpenPort);
    return true;
}
