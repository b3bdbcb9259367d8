#include "setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "serial/rates.h"

namespace {

QComboBox* rate_box(int rate, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->addItem(QStringLiteral("default"), 0);
    for (int r : kBaudRates)
        box->addItem(QString::number(r), r);
    box->setCurrentIndex(qMax(0, box->findData(rate)));
    return box;
}

QStringList lines_of(const QPlainTextEdit* edit)
{
    QStringList out;
    for (const QString& line : edit->toPlainText().split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            out << line.trimmed();
    }
    return out;
}

}  // namespace

SetupDialog::SetupDialog(const StationSetup& setup, const QString& file, QWidget* parent)
    : QDialog(parent), base_(setup)
{
    setWindowTitle(QStringLiteral("Station setup"));
    auto* form = new QFormLayout(this);
    file_ = new QLineEdit(file, this);
    name_ = new QLineEdit(setup.name, this);
    name_->setPlaceholderText(QStringLiteral("the host name"));
    records_ = new QLineEdit(setup.records, this);
    records_->setPlaceholderText(QStringLiteral("records.db or postgresql://user@host/database"));
    QStringList actions;
    for (const StationAction& a : setup.actions)
        actions << (a.file.isEmpty() ? a.name : a.name + QLatin1Char(' ') + a.file);
    actions_ = new QPlainTextEdit(actions.join(QLatin1Char('\n')), this);
    actions_->setPlaceholderText(station_action_names().join(QLatin1Char('\n')));
    baud_ = rate_box(setup.baud, this);
    new_rate_ = rate_box(setup.new_rate, this);
    skip_unchanged_ = new QCheckBox(QStringLiteral("Write only what changed"), this);
    skip_unchanged_->setChecked(setup.skip_unchanged);
    stamps_ = new QLineEdit(setup.stamps.join(QLatin1Char(' ')), this);
    stamps_->setPlaceholderText(QStringLiteral("flash@0x1000:dec:10 mcu@0x200:mac:02:00:5E:00:00:00"));
    counter_ = new QLineEdit(setup.serial_counter, this);
    counter_start_ = new QLineEdit(setup.serial_start >= 0 ? QString::number(setup.serial_start) : QString(), this);
    usb_adapters_ = new QCheckBox(QStringLiteral("Every USB serial adapter is a socket"), this);
    usb_adapters_->setChecked(setup.usb_adapters);
    simulated_ = new QCheckBox(QStringLiteral("Every simulated chip is a socket"), this);
    simulated_->setChecked(setup.simulated);
    ports_ = new QPlainTextEdit(setup.ports.join(QLatin1Char('\n')), this);
    ports_->setPlaceholderText(QStringLiteral("/dev/serial/by-path/...  (one socket a line)"));

    form->addRow(QStringLiteral("Setup file"), file_);
    form->addRow(QStringLiteral("Station name"), name_);
    form->addRow(QStringLiteral("Records"), records_);
    form->addRow(QStringLiteral("Actions (one a line)"), actions_);
    form->addRow(QStringLiteral("Baud rate"), baud_);
    form->addRow(QStringLiteral("New rate"), new_rate_);
    form->addRow(QString(), skip_unchanged_);
    form->addRow(QStringLiteral("Stamps"), stamps_);
    form->addRow(QStringLiteral("Serial counter"), counter_);
    form->addRow(QStringLiteral("Counter's first number"), counter_start_);
    form->addRow(QString(), usb_adapters_);
    form->addRow(QString(), simulated_);
    form->addRow(QStringLiteral("Socket ports"), ports_);
    // Named, so that a test can fill the dialog as an operator would.
    const std::pair<QWidget*, const char*> names[] = {
        {file_, "file"},         {name_, "name"},         {records_, "records"},   {actions_, "actions"},
        {baud_, "baud"},         {new_rate_, "new_rate"}, {skip_unchanged_, "skip_unchanged"},
        {stamps_, "stamps"},     {counter_, "serial_counter"}, {counter_start_, "serial_start"},
        {usb_adapters_, "usb_adapters"}, {simulated_, "simulated"}, {ports_, "ports"}};
    for (const auto& n : names)
        n.first->setObjectName(QLatin1String(n.second));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

QString SetupDialog::file() const
{
    return QDir::current().absoluteFilePath(file_->text().trimmed());
}

StationSetup SetupDialog::setup() const
{
    StationSetup s = base_;
    // Image names typed without a folder are the setup file's neighbours.
    const QDir dir(QFileInfo(file()).absolutePath());
    s.name = name_->text().trimmed();
    s.records = records_->text().trimmed();
    s.actions.clear();
    for (const QString& line : lines_of(actions_)) {
        const QString name = line.section(QLatin1Char(' '), 0, 0);
        const QString file = line.section(QLatin1Char(' '), 1).trimmed();
        if (station_action_names().contains(name))
            s.actions.append({name, file.isEmpty() ? QString() : dir.absoluteFilePath(file)});
    }
    s.baud = baud_->currentData().toInt();
    s.new_rate = new_rate_->currentData().toInt();
    s.skip_unchanged = skip_unchanged_->isChecked();
    s.stamps = stamps_->text().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    s.serial_counter = counter_->text().trimmed();
    bool number = false;
    const qint64 start = counter_start_->text().trimmed().toLongLong(&number);
    s.serial_start = number ? start : -1;
    s.usb_adapters = usb_adapters_->isChecked();
    s.simulated = simulated_->isChecked();
    s.ports = lines_of(ports_);
    return s;
}
