// The application shell's slots: Exit and the WaitTime entry.

#include "app/mainwindow.h"
#include "platform/platform.h"

namespace {
constexpr int kExitPauseMs = 500;  // lets a running operation see the stop
}  // namespace

void MainWindow::on_pushButton_Exit_clicked()
{
    session_.link().stop().request();
    platform::sleep_ms(kExitPauseMs);
    close();
}

void MainWindow::on_comboBox_WaitTime_activated(QString)
{
    session_.link().reply().set_wait_ms(read_link_settings().wait_ms);
}
