#pragma once

// What the session knows of the board on the link: the chip that answered
// the identification and what its boot loader reported, and the external
// flash the last Get Flash ID found. A plain value: the connect handshake
// and the flash identification write it, every procedure reads it.

#include <QString>
#include <cstdint>

struct ChipFacts {
    // 0 before the first identification; kUnknownChipId while a port is
    // open with no catalogued model identified.
    uint32_t chip_id = 0;
    uint32_t boot_version = 0;
    bool vcom = false;         // a virtual-COM link, which takes a block in packets
    int write_pacing_us = 125;  // the pause between a block's frames, from the link code

    uint32_t flash_id = 0;
    int flash_size = 0;
    QString flash_name;
    QString flash_catalogue_problem;  // why the last lookup found nothing; empty when it found the ID

    // The catalogue's name of chip_id's model, "unknown", or empty before any.
    QString model_name() const;
    // The chip keeps its application in the external flash (VQ210 Uart0).
    bool app_in_external_flash() const;
};
