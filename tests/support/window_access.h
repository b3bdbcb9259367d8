#pragma once

// Test-side view of the main window, through its public face: its widgets by
// object name, the state the operator cannot see but the window's own tests
// check (its paths, timers, and what it passed to its session), and a way to
// start the operation of a button whatever its state (its slot, by name). The protocol's state is the
// session's; its tests use session_rig.h.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTextEdit>
#include <QTimer>

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "serial/serial_transport.h"

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& w) : w(w) {}

    // Runs the operation of its button to its end, as a click would, whether
    // or not the button is enabled at the moment: Open Comm opens or closes
    // as the port is, an Input File button's dialog is answered with the path
    // its line holds (an empty one cancels it).
    void start(Operation operation)
    {
        switch (operation) {
        case Operation::OpenPort:
        case Operation::ClosePort:
            run_slot("on_pushButton_OpenCom_clicked");
            break;
        case Operation::BootMode1:
            run_slot("on_pushButton_Boot_clicked");
            break;
        case Operation::BootMode2:
            run_slot("on_pushButton_BootII_clicked");
            break;
        case Operation::InputMcuImage: {
            const FileDialogAnswer answer(edit("lineEdit_MCU")->text());
            run_slot("on_pushButton_InputMCUCode_clicked");
            break;
        }
        case Operation::UpdateMcu:
            run_slot("on_pushButton_UpdateMCU_clicked");
            break;
        case Operation::CheckMcu:
            run_slot("on_pushButton_CheckMCU_clicked");
            break;
        case Operation::InputFlashImage: {
            const FileDialogAnswer answer(edit("lineEdit_Flash")->text());
            run_slot("on_pushButton_InputFlashCode_clicked");
            break;
        }
        case Operation::UpdateFlash:
            run_slot("on_pushButton_UpdateFlash_clicked");
            break;
        case Operation::FlashInfo:
            run_slot("on_pushButton_FlashInfo_clicked");
            break;
        case Operation::CheckFlash:
            run_slot("on_pushButton_CheckFlash_clicked");
            break;
        case Operation::RunApp:
            run_slot("on_pushButton_RunApp_clicked");
            break;
        }
    }

    // The slot of a button, by its name as the form connects it: a click
    // that does not look at whether the button is enabled.
    void run_slot(const char* slot) { QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection); }

    template <class T>
    T* widget(const char* name) const
    {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) const { return widget<QPushButton>(name); }
    QComboBox* combo(const char* name) const { return widget<QComboBox>(name); }
    QLineEdit* edit(const char* name) const { return widget<QLineEdit>(name); }

    QStringList log() const { return widget<QTextEdit>("textEdit")->toPlainText().split('\n'); }
    QString last_log() const { return log().last(); }
    void clear_log() const { widget<QTextEdit>("textEdit")->clear(); }

    BootSession& s() const { return w.session(); }
    // The window as the session's sink, for a test that listens in between.
    SessionSink& window_sink() { return w.session_sink(); }
    // The local port under the session; null while it talks over the network.
    QSerialPort* serial() const
    {
        auto* local = dynamic_cast<const SerialTransport*>(s().link().transport());
        return local ? local->port() : nullptr;
    }
    QTimer* port_timer() const { return widget<QTimer>("port_timer"); }
    int wait_ms() const { return s().link().reply().wait_ms(); }
    uint32_t chip_id() const { return s().chip().chip_id; }
    int reconnect_state() const { return s().reconnect_state_now(); }
    int link_down() const { return s().link().down() ? 1 : 0; }
    int bl_set() const { return w.bl_setting(); }
    int usb_port_index() const { return w.usb_port_entry(); }
    QString mcu_image_path() const { return w.mcu_dialog_path(); }
    QString flash_image_path() const { return w.flash_dialog_path(); }
    int progress() const { return widget<QProgressBar>("progressBar")->value(); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }
    void write_config() { w.write_config(); }
    // The port list holds `path` alone, selected.
    void set_port_text(const QString& path)
    {
        combo("comboBox_Comm")->clear();
        set_port(path);
    }
    // Selects the port by its name; one the list does not hold is added.
    void set_port(const QString& name)
    {
        QComboBox* ports = combo("comboBox_Comm");
        int index = ports->findText(name);
        if (index < 0) {
            ports->addItem(name);
            index = ports->count() - 1;
        }
        ports->setCurrentIndex(index);
    }

    MainWindow& w;

private:
    // A file dialog answered with `path`; boxes go on to whatever shows them.
    class FileDialogAnswer : public Dialogs {
    public:
        explicit FileDialogAnswer(const QString& path) : outer_(Dialogs::current()), path_(path)
        {
            Dialogs::install(this);
        }
        ~FileDialogAnswer() override { Dialogs::install(&outer_); }

        void critical(QWidget* parent, const QString& title, const QString& text) override
        {
            outer_.critical(parent, title, text);
        }
        void information(QWidget* parent, const QString& title, const QString& text) override
        {
            outer_.information(parent, title, text);
        }
        QString open_file_name(QWidget*, const QString&, const QString&, const QString&) override { return path_; }

    private:
        Dialogs& outer_;
        QString path_;
    };
};
