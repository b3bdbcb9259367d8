// Flash identification with the reason a catalogue gave no flash, a member
// of MainWindow.

#include "app/mainwindow.h"

int MainWindow::identify_flash_explained(int pause_ms)
{
    flash_catalogue_problem.clear();
    const int result = identify_flash(pause_ms);
    // The catalogue itself is silent about a missing or useless Flash.ini;
    // one line after the identification's own says which it is.
    if (result != 0 && !flash_catalogue_problem.isEmpty())
        log_line(flash_catalogue_problem);
    return result;
}
