#pragma once

// The images the operator chose, as read when they were chosen (lengths,
// CRCs, the run address, a .bin's info block, a .diff's header), and the
// bytes an update is writing while it runs. A plain value: the Input File
// procedures and the updates write it, the connect handshake and the checks
// read it.

#include <QByteArray>
#include <cstdint>

#include "flashimage/image_rules.h"

struct SelectedImages {
    int mcu_len = 0;
    uint32_t mcu_crc = 0;
    uint32_t run_address = 0;

    int flash_len = 0;
    uint32_t flash_crc = 0;
    bool flash_has_info = false;   // a .bin whose image info block is valid
    uint32_t flash_info_crc = 0;   // the CRC that block says the flash must show
    DiffHeader diff_header{};      // a .diff's header, as read at Input File

    QByteArray data;  // the image being programmed, alive while an update runs

    // The CRC a check of the whole flash image expects (the info block's
    // where there is one, unless the file's own is asked for).
    uint32_t flash_expected_crc(bool send_file_crc) const;
    void release_data()
    {
        data.clear();
        data.squeeze();
    }
};
