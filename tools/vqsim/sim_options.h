#pragma once

// The vqsim command line: every configuration item and the faults that make
// sense from a shell. Kept apart from main() so the parsing can be tested.

#include <QCommandLineParser>
#include <QString>
#include <QVector>
#include <optional>

#include "sim_device.h"
#include "sim_server.h"

struct FaultSpec {
    enum Kind { Silent, WrongLetter, Status, WrongCrc };
    Kind kind;
    char letter;
    int count;  // SimDevice::kAlways for every command of the letter
    std::optional<uint32_t> value;  // status byte or CRC
};

struct SimOptions {
    SimConfig config;
    SimTransport transport;
    QVector<FaultSpec> faults;
    QString publish_dir = default_publish_dir();
};

void add_sim_options(QCommandLineParser& parser);
// False with a message naming the option when a value does not parse.
bool read_sim_options(const QCommandLineParser& parser, SimOptions* options, QString* error);
void apply_faults(const QVector<FaultSpec>& faults, SimDevice& device);

// A catalogue model name ("VQ4410", "vq210 uart0") or a hexadecimal chip ID.
std::optional<uint32_t> parse_chip(const QString& text);
// The model name, or the chip ID in hexadecimal for an ID in no catalogue entry.
QString chip_label(uint32_t chip_id);
