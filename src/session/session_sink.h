#pragma once

// Where a boot session reaches the operator: the window shows these on its
// widgets, a console front end prints them. The session calls them from the
// thread it runs on, in the order the operator is meant to see them.

#include <QString>
#include <cstdint>

class SessionSink {
public:
    virtual ~SessionSink() = default;

    virtual void log_line(const QString& text) = 0;
    virtual void clear_log() = 0;
    // A critical box; the procedure goes on only once it is answered.
    virtual void error_box(const QString& title, const QString& text) = 0;
    // An information box ("Open fail"), modal too.
    virtual void notice_box(const QString& title, const QString& text) = 0;
    virtual void progress(int percent) = 0;
    // The model that answered the identification ("unknown" when none did).
    virtual void chip_identified(uint32_t chip_id, const QString& model_name) = 0;
    // The external flash as the last Get Flash ID shows it: ID, size, name.
    virtual void flash_fields(const QString& id, const QString& size, const QString& name) = 0;
    // What the selected images are: "Mcu code, CRC = ..." and "Flash code, ...".
    virtual void mcu_label(const QString& text) = 0;
    virtual void flash_label(const QString& text) = 0;
    // Whether the operations on the chip may be started now: off while a
    // procedure runs, on again when it ends.
    virtual void actions_enabled(bool on) = 0;
    // The device went away under the open port (unplugged, hung up). The
    // front end ends the session with mark_port_removed().
    virtual void port_failed(const QString& port_name) = 0;
};

// A sink that shows nothing, for a session nobody watches.
class NullSessionSink : public SessionSink {
public:
    void log_line(const QString&) override {}
    void clear_log() override {}
    void error_box(const QString&, const QString&) override {}
    void notice_box(const QString&, const QString&) override {}
    void progress(int) override {}
    void chip_identified(uint32_t, const QString&) override {}
    void flash_fields(const QString&, const QString&, const QString&) override {}
    void mcu_label(const QString&) override {}
    void flash_label(const QString&) override {}
    void actions_enabled(bool) override {}
    void port_failed(const QString&) override {}
};
