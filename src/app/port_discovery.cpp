// The port list and hot-plug, members of MainWindow.

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QTimer>

#include "app/mainwindow.h"
#include "protocol/texts.h"
#include "serial/port_map.h"
#include "serial/port_watcher.h"
#include "serial/remote_ports.h"
#include "ui_mainwindow.h"

#ifdef Q_OS_WIN
#include <windows.h>  // before dbt.h, which uses its types
#include <dbt.h>
#endif

namespace {
constexpr int kRefreshAfterChangeMs = 500;
constexpr int kListMarginPx = 32;  // the list's frame and scroll bar beside the widest name
}

QString MainWindow::GetComm(int index, QString /*keyValue*/)
{
    if (index < 0 || index >= port_entries.size())
        return QStringLiteral(" ");
    if (index == preselected_entry(port_entries))
        usb_port_index = index;
    return port_entries.at(index).port_name;
}

void MainWindow::LockforTPdevice()
{
    port_entries = port_map->entries();
    for (const QString& url : kept_remote_ports())
        port_entries.append(PortMapEntry{url, url, false});
    ui->comboBox_Comm->clear();
    usb_port_index = -1;
    QStringList list;
    for (int i = 0; i < port_entries.size(); ++i)
        list << GetComm(i, QStringLiteral("value"));
    ui->comboBox_Comm->insertItems(ui->comboBox_Comm->count(), list);
    // A remote port's name is longer than the box: each entry also shows
    // it whole as a tooltip, and the list opens as wide as the widest.
    const QFontMetrics metrics(ui->comboBox_Comm->view()->font());
    int widest = 0;
    for (int i = 0; i < list.size(); ++i) {
        ui->comboBox_Comm->setItemData(i, list.at(i), Qt::ToolTipRole);
        widest = qMax(widest, metrics.horizontalAdvance(list.at(i)));
    }
    ui->comboBox_Comm->view()->setMinimumWidth(widest + kListMarginPx);
    const int offered = offered_remote_port_.isEmpty() ? -1 : list.indexOf(offered_remote_port_);
    if (usb_port_index >= 0) {
        ui->comboBox_Comm->setCurrentIndex(usb_port_index);
        set_open_button_enabled(true);
    } else if (offered >= 0) {
        ui->comboBox_Comm->setCurrentIndex(offered);
        set_open_button_enabled(true);
    } else if (refresh_after_removal && !list.isEmpty()) {
        // The removal took the Open button away; any port listed now is
        // worth offering again, a USB serial adapter as much as ttyACM0.
        set_open_button_enabled(true);
    }
    refresh_after_removal = false;
}

void MainWindow::Timer1_Out_Event()
{
    port_timer->stop();
    LockforTPdevice();
}

void MainWindow::port_arrived(const QString& name)
{
    if (!session_.port_open())
        port_timer->start(kRefreshAfterChangeMs);
    log_line(QStringLiteral("Insert ") + name);
}

void MainWindow::port_removed(const QString& name)
{
    log_line(QStringLiteral("Remove ") + name);
    if (session_.port_open() && name == ui->comboBox_Comm->currentText())
        end_session_on_removal();
}

void MainWindow::end_session_on_removal()
{
    session_.link().mark_down();
    refresh_after_removal = true;
    ui->pushButton_OpenCom->setText(texts::kOpenComm);
    set_action_buttons_enabled(false);
    port_timer->start(kRefreshAfterChangeMs);
}

void MainWindow::port_failed(const QString& name)
{
    port_watcher->forget(name);
    log_line(QStringLiteral("Remove ") + name);
    end_session_on_removal();
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, long* result)
{
#ifdef Q_OS_WIN
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_DEVICECHANGE &&
        (msg->wParam == DBT_DEVICEARRIVAL || msg->wParam == DBT_DEVICEREMOVECOMPLETE)) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(msg->lParam);
        if (header && header->dbch_devicetype == DBT_DEVTYP_PORT) {
            const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header);
            const QString name = QString::fromWCharArray(port->dbcp_name);
            if (msg->wParam == DBT_DEVICEARRIVAL)
                port_arrived(name);
            else
                port_removed(name);
        }
    }
#endif
    return QMainWindow::nativeEvent(eventType, message, result);
}
