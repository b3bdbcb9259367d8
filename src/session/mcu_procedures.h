#pragma once

// The chip's own flash: its commands (erase, MCU CRC, program block in its
// two framings), Input File of the MCU image, Update MCU and Check Mcu CRC.
// A chip that keeps its application in the external flash (VQ210 Uart0) has
// the same image written and checked there, by the flash procedures.
//
// It may touch: the link, the chosen MCU image (its length, CRC and run
// address, and the bytes an update writes) and the count of bytes written;
// it reads the chip's facts.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "session/port_session.h"
#include "session/session_parts.h"
#include "session/session_report.h"

class FlashCommands;
class FlashUpdates;
struct McuRange;

class McuProcedures {
public:
    McuProcedures(const SessionParts& parts, PortSession& port, FlashCommands& flash, FlashUpdates& updates);

    // Reads and takes an MCU image file: operation_result.
    int load_mcu_image(const QString& path);
    // Update MCU from the file: operation_result or mcu_update_result (the
    // VQ210 Uart0: flash_update_result).
    int update_mcu(const QString& path, const UpdateOptions& options);
    // Check Mcu CRC: operation_result or the check's code.
    int check_mcu();

    int erase_mcu(uint32_t start_offset, uint32_t end_offset);
    int check_mcu_crc();  // of the image's length from run_address's page against its CRC
    int program_mcu_block(const QByteArray& data, uint32_t block_offset);   // single frame
    int program_mcu_frames(const QByteArray& data, uint32_t block_offset);  // J0/J1/J2 frames
    int write_mcu_block(const QByteArray& data, uint32_t block_offset);     // the form the link takes

private:
    int plan_mcu_update(uint32_t chip, McuRange* range);  // refusals before anything is sent
    int update_mcu_image(int total, int blk, uint32_t chip, const UpdateOptions& options);
    int mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range);
    int program_mcu_image(int total, int blk, const McuRange& range);
    bool mcu_image_held(int total, int blk, const McuRange& range);

    Link& link_;
    const ChipFacts& chip_;
    SelectedImages& images_;
    UpdateBytes& bytes_;
    PortSession& port_;
    FlashCommands& flash_;
    FlashUpdates& updates_;
};
