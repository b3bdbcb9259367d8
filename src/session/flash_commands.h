#pragma once

// The external flash's commands and checks: Set_FlashMode, Get_FlashID with
// the Flash.ini lookup, Flash Info, and the flash CRC command with its three
// checks (a block, a range, the whole image) and Check Flash CRC.
//
// It may touch: the link, and the chip's facts of the flash (ID, size, name,
// why the catalogue found nothing); it reads the chip and the chosen flash
// image.

#include <cstdint>

#include "flash/flash_frames.h"
#include "session/chip_facts.h"
#include "session/link.h"
#include "session/selected_images.h"

class FlashCommands {
public:
    FlashCommands(Link& link, ChipFacts& chip, const SelectedImages& images);

    int Set_FlashMode(uint8_t mode);     // flash_mode_result
    int Get_FlashID(uint8_t variant);    // flash_id_result
    int Lookup_FlashIni(uint32_t id);    // lookup_flash_ini_result
    // Get Flash ID, a second time after pause_ms when the first found no
    // catalogued flash: flash_id_result.
    int identify_flash(int pause_ms);
    // Flash Info: identify_flash from an empty line, the second attempt after a pause.
    int flash_info();
    int prepare_flash_mode(int mode, bool announce_nand);  // prepare_flash_mode_result

    // The flash CRC command and the wait for its progress reports and verdict.
    int run_flash_crc(const FlashCrcJob& job);
    int Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashImageCRC(bool send_file_crc);
    // Check Flash CRC: operation_result or the check's flash_crc_result.
    int check_flash(bool send_file_crc);

private:
    int flash_crc_wait(const FlashCrcJob& job);

    Link& link_;
    ChipFacts& chip_;
    const SelectedImages& images_;
};
